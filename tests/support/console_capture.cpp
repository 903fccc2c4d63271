#include "console_capture.h"

#include <mutex>

#include "console.h"

namespace {

// Engine threads may print while the test thread takes the text.
std::mutex capturedLock;
std::string captured;

void captureSink(const char* text, size_t length) {
    const std::lock_guard<std::mutex> guard(capturedLock);
    captured.append(text, length);
}

} // namespace

ConsoleCapture::ConsoleCapture() {
    {
        const std::lock_guard<std::mutex> guard(capturedLock);
        captured.clear();
    }
    consoleSetSink(captureSink);
}

ConsoleCapture::~ConsoleCapture() {
    consoleSetSink(nullptr);
}

std::string ConsoleCapture::take() {
    std::string text;
    const std::lock_guard<std::mutex> guard(capturedLock);
    text.swap(captured);
    return text;
}
