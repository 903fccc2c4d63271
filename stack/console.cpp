#include "console.h"

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<ConsoleSink> currentSink{nullptr};
std::atomic<ConsoleSink> errorSink{nullptr};

struct HeldText {
    std::array<char, 1024> text;
    size_t length;
    unsigned depth; // batches alive on this thread
};

thread_local HeldText held{};

void writeOut(const char* text, size_t length) {
    std::fwrite(text, 1, length, stdout);
    // Lines start with "\n" rather than end with it, so line buffering alone would hold the last
    // one.
    std::fflush(stdout);
}

void releaseHeld() {
    if (held.length > 0) {
        writeOut(held.text.data(), held.length);
        held.length = 0;
    }
}

void stdoutSink(const char* text, size_t length) {
    if (held.depth == 0) {
        writeOut(text, length);
        return;
    }
    if (held.length + length > held.text.size()) {
        releaseHeld();
    }
    if (length > held.text.size()) {
        writeOut(text, length);
        return;
    }
    std::memcpy(held.text.data() + held.length, text, length);
    held.length += length;
}

// vsnprintf reports the untruncated length; only what fits in the buffer is handed on.
size_t formatted(int written, size_t size) {
    if (written <= 0) {
        return 0;
    }
    return static_cast<size_t>(written) < size ? static_cast<size_t>(written) : size - 1;
}

void toConsole(const char* text, size_t length) {
    const ConsoleSink sink = currentSink.load(std::memory_order_acquire);
    (sink != nullptr ? sink : stdoutSink)(text, length);
}

} // namespace

void consolePrint(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    const size_t length = formatted(std::vsnprintf(text, sizeof text, format, args), sizeof text);
    va_end(args);
    if (length > 0) {
        toConsole(text, length);
    }
}

void consoleError(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    const size_t length = formatted(std::vsnprintf(text, sizeof text, format, args), sizeof text);
    va_end(args);
    const ConsoleSink sink = errorSink.load(std::memory_order_acquire);
    if (sink == nullptr) {
        if (length > 0) {
            toConsole(text, length);
        }
        return;
    }
    size_t start = 0;
    while (start < length && (text[start] == '\n' || text[start] == '\r')) {
        ++start;
    }
    if (start < length) {
        sink(text + start, length - start);
    }
}

ConsoleSink consoleSetErrorSink(ConsoleSink sink) {
    return errorSink.exchange(sink, std::memory_order_acq_rel);
}

ConsoleSink consoleSetSink(ConsoleSink sink) {
    return currentSink.exchange(sink, std::memory_order_acq_rel);
}

ConsoleBatch::ConsoleBatch() {
    ++held.depth;
}

ConsoleBatch::~ConsoleBatch() {
    if (--held.depth == 0) {
        releaseHeld();
    }
}
