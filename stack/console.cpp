#include "console.h"

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<ConsoleSink> currentSink{nullptr};

struct HeldText {
    std::array<char, 1024> text;
    size_t length;
    bool holding;
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
    if (!held.holding) {
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

} // namespace

void consolePrint(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (written <= 0) {
        return;
    }
    // vsnprintf reports the untruncated length; only what fits in the buffer is handed on.
    const size_t length =
        static_cast<size_t>(written) < sizeof text ? static_cast<size_t>(written) : sizeof text - 1;
    const ConsoleSink sink = currentSink.load(std::memory_order_acquire);
    (sink != nullptr ? sink : stdoutSink)(text, length);
}

ConsoleSink consoleSetSink(ConsoleSink sink) {
    return currentSink.exchange(sink, std::memory_order_acq_rel);
}

ConsoleBatch::ConsoleBatch() : outermost(!held.holding) {
    held.holding = true;
}

ConsoleBatch::~ConsoleBatch() {
    if (outermost) {
        held.holding = false;
        releaseHeld();
    }
}
