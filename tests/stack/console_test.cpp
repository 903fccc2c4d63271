#include <gtest/gtest.h>

#include <string>

#include "console.h"
#include "console_capture.h"

namespace {

void otherSink(const char* /*text*/, size_t /*length*/) {}

TEST(Console, FormatsIntoTheSink) {
    ConsoleCapture capture;
    consolePrint("\nIrLAP baud:\t0x%02X -> %lu", 0x3E, 115200UL);
    EXPECT_EQ(capture.take(), "\nIrLAP baud:\t0x3E -> 115200");
}

TEST(Console, LongTextIsCutNotOverrun) {
    ConsoleCapture capture;
    const std::string longText(2000, 'x');
    consolePrint("%s", longText.c_str());
    const std::string printed = capture.take();
    EXPECT_GT(printed.size(), 100U);
    EXPECT_LT(printed.size(), longText.size());
    EXPECT_EQ(printed, std::string(printed.size(), 'x'));
}

TEST(Console, SetSinkReturnsThePreviousOne) {
    EXPECT_EQ(consoleSetSink(otherSink), nullptr);
    EXPECT_EQ(consoleSetSink(nullptr), otherSink);
}

} // namespace
