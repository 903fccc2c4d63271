// The library's log: the stack's console (its frame trace) and its errors go to the sink the
// application set, or nowhere; and the error codes' texts.
#include <mutex>

#include "console.h"
#include "irs_session.h"

namespace {

// Held through each call, so a sink never runs after irs_set_log replaced it.
std::mutex logLock;
irs_log_fn logSink = nullptr;
void* logContext = nullptr;
std::once_flag installed;
// Set on the thread that runs the sink, while it runs.
thread_local bool insideSink = false;

void deliver(int kind, const char* text, size_t length) {
    // What a call from inside the sink logs would need the lock this thread holds: dropped.
    if (insideSink) {
        return;
    }
    const std::lock_guard<std::mutex> hold(logLock);
    if (logSink != nullptr) {
        insideSink = true;
        logSink(logContext, kind, text, length);
        insideSink = false;
    }
}

void toTrace(const char* text, size_t length) {
    deliver(IRS_LOG_TRACE, text, length);
}

void toErrors(const char* text, size_t length) {
    deliver(IRS_LOG_ERROR, text, length);
}

} // namespace

void irsLogInstall() {
    std::call_once(installed, [] {
        consoleSetSink(toTrace);
        consoleSetErrorSink(toErrors);
    });
}

bool irsInsideLog() {
    return insideSink;
}

extern "C" int irs_set_log(irs_log_fn log, void* context) {
    if (insideSink) {
        return IRS_ERR_STATE;
    }
    irsLogInstall();
    const std::lock_guard<std::mutex> hold(logLock);
    logSink = log;
    logContext = context;
    return IRS_OK;
}

bool irsLockOutsideLog(std::unique_lock<std::mutex>& hold) {
    if (!irsInsideLog()) {
        hold.lock();
        return true;
    }
    return hold.try_lock();
}

int irsOpenError(const char* path, DWORD error, DWORD systemError) {
    const char* why = nullptr;
    if (error == ERROR_ACCESS_DENIED) {
        why = hostSystemErrorIsBusy(systemError) ? "port busy" : "not allowed";
    } else if (error == ERROR_FILE_NOT_FOUND) {
        why = "no such port";
    } else if (error == ERROR_INVALID_FUNCTION) {
        why = "not a serial port";
    }
    if (why != nullptr) {
        consoleError("irs_open: %s: %s", path, why);
        return IRS_ERR_PORT;
    }
    consoleError("irs_open: %s: error %lu", path, static_cast<unsigned long>(systemError));
    return error == ERROR_NOT_ENOUGH_MEMORY ? IRS_ERR_NO_MEMORY : IRS_ERR_IO;
}

extern "C" const char* irs_strerror(int error) {
    switch (error) {
    case IRS_OK:
        return "success";
    case IRS_ERR_ARG:
        return "bad argument";
    case IRS_ERR_HANDLE:
        return "not an open handle";
    case IRS_ERR_STATE:
        return "not allowed in this role or state";
    case IRS_ERR_TIMEOUT:
        return "timed out";
    case IRS_ERR_PORT:
        return "cannot open the port";
    case IRS_ERR_PORT_LOST:
        return "port lost";
    case IRS_ERR_PEER_GONE:
        return "peer gone";
    case IRS_ERR_NO_SERVICE:
        return "no such service";
    case IRS_ERR_IO:
        return "port operation failed";
    case IRS_ERR_UNSUPPORTED:
        return "not supported on this system";
    case IRS_ERR_NO_MEMORY:
        return "out of memory, handles or channels";
    case IRS_ERR_ACCESS:
        return "not allowed";
    default:
        return "unknown error";
    }
}
