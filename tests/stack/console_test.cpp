#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
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

// A received frame's trace and its mark are one write: nothing reaches stdout until the outermost
// batch ends.
TEST(Console, NestedBatchesWriteOnceAtTheOutermostEnd) {
    std::fflush(stdout);
    std::array<int, 2> pipeEnds{};
    ASSERT_EQ(pipe(pipeEnds.data()), 0);
    fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
    const int savedStdout = dup(STDOUT_FILENO);
    dup2(pipeEnds[1], STDOUT_FILENO);
    std::array<char, 64> text{};
    ssize_t early = 0;
    {
        const ConsoleBatch outer;
        {
            const ConsoleBatch inner;
            consolePrint("\n[ 01 ]");
        }
        consolePrint(".");
        early = read(pipeEnds[0], text.data(), text.size());
    }
    const ssize_t got = read(pipeEnds[0], text.data(), text.size());
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    EXPECT_EQ(early, -1) << "written before the outermost batch ended";
    ASSERT_GT(got, 0);
    EXPECT_EQ(std::string(text.data(), static_cast<size_t>(got)), "\n[ 01 ].");
}

} // namespace
