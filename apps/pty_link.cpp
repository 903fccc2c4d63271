// The pty programs' connect or listen thread, and the status lines: the library's errors (one that
// repeats shown once) and its trace.
#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "pty_app.h"
#include "win32.h"

const char* ptyProgramName = "pty";

namespace {

constexpr size_t ERROR_TEXT_SIZE = 256;

// The last error shown: a port that fails every step says so once, until the port is back or a
// channel opens.
std::mutex errorLock;
std::array<char, ERROR_TEXT_SIZE> lastError{};

int connectOrListen(irs_port* port, const PtyRole& role, const PtyOptions& options,
                    irs_channel** channel) {
    const int mode = options.raw ? IRS_MODE_RAW : IRS_MODE_IRCOMM;
    if (!role.computer()) {
        return irs_listen(port, options.className, options.attribute, mode, -1, channel);
    }
    if (options.lsap >= 0) {
        return irs_connect_lsap(port, options.lsap, mode, -1, channel);
    }
    return irs_connect(port, options.className, options.attribute, mode, -1, channel);
}

} // namespace

void PtyConnector::start(irs_port* port, const PtyRole& role, const PtyOptions& options) {
    join();
    done.store(false);
    thread = std::thread([this, port, &role, &options] {
        irs_channel* channel = nullptr;
        result = connectOrListen(port, role, options, &channel);
        opened = channel;
        {
            const std::lock_guard<std::mutex> hold(doneLock);
            done.store(true);
        }
        doneSignal.notify_all();
    });
}

void PtyConnector::waitDone(uint32_t ms) {
    std::unique_lock<std::mutex> hold(doneLock);
    if (!thread.joinable()) {
        hold.unlock();
        Sleep(ms);
        return;
    }
    doneSignal.wait_for(hold, std::chrono::milliseconds(ms), [this] { return done.load(); });
}

bool PtyConnector::finished(int& outcome, irs_channel*& channel) {
    if (!thread.joinable() || !done.load()) {
        return false;
    }
    thread.join();
    outcome = result;
    channel = opened;
    return true;
}

void PtyConnector::join() {
    if (thread.joinable()) {
        thread.join();
    }
}

void ptyStatus(const char* format, ...) {
    std::array<char, 480> line{};
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line.data(), line.size(), format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "%s: %s\n", ptyProgramName, line.data());
}

void ptyShowError(const char* text, size_t length) {
    std::string_view error(text, length);
    while (!error.empty() && (error.back() == '\n' || error.back() == '\r')) {
        error.remove_suffix(1);
    }
    error = error.substr(0, lastError.size() - 1);
    const std::lock_guard<std::mutex> guard(errorLock);
    if (error == std::string_view(lastError.data())) {
        return;
    }
    lastError.fill('\0');
    error.copy(lastError.data(), error.size());
    ptyStatus("%s", lastError.data());
}

void ptyForgetError() {
    const std::lock_guard<std::mutex> guard(errorLock);
    lastError.fill('\0');
}

void ptyLog(void* context, int kind, const char* text, size_t length) {
    if (kind == IRS_LOG_ERROR) {
        ptyShowError(text, length);
    } else if (*static_cast<const bool*>(context)) {
        std::fwrite(text, 1, length, stderr);
    }
}
