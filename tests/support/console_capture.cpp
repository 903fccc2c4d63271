#include "console_capture.h"

#include "console.h"

namespace {

std::string captured;

void captureSink(const char* text, size_t length) { captured.append(text, length); }

} // namespace

ConsoleCapture::ConsoleCapture() {
    captured.clear();
    consoleSetSink(captureSink);
}

ConsoleCapture::~ConsoleCapture() { consoleSetSink(nullptr); }

std::string ConsoleCapture::take() {
    std::string text;
    text.swap(captured);
    return text;
}
