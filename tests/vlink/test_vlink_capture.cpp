#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "console_capture.h"
#include "memory_link.h"
#include "vlink_capture.h"

namespace {

struct Found {
    int64_t timeNs;
    std::vector<uint8_t> frame;
};

void collect(void* context, int64_t timeNs, std::span<const uint8_t> frame) {
    static_cast<std::vector<Found>*>(context)->push_back(
        Found{timeNs, std::vector<uint8_t>(frame.begin(), frame.end())});
}

void feed(VlinkCapture& capture, const std::vector<uint8_t>& bytes, int64_t& timeNs) {
    for (const uint8_t byte : bytes) {
        timeNs += 1000;
        ASSERT_TRUE(capture.push(byte, timeNs));
    }
}

} // namespace

TEST(VlinkCapture, FindsIntactFramesWithTheTimeOfTheirEnd) {
    ConsoleCapture console;
    auto capture = std::make_unique<VlinkCapture>();
    int64_t time = 0;
    const std::vector<uint8_t> snrm{0xFF, 0x93, 0xC0, 0x7D, 0xC1};
    const std::vector<uint8_t> rr{0x03, 0x11};
    feed(*capture, {0x12, 0x34}, time); // noise before the first frame
    feed(*capture, sirWrap(snrm), time);
    const int64_t firstEnd = time;
    std::vector<uint8_t> broken = sirWrap(rr);
    broken[12] ^= 0x01; // fails its FCS
    feed(*capture, broken, time);
    feed(*capture, sirWrap(rr), time);
    capture->stop();

    std::vector<Found> found;
    vlinkCaptureRun(*capture, collect, &found);
    ASSERT_EQ(found.size(), 2U);
    EXPECT_EQ(found[0].frame, snrm);
    EXPECT_EQ(found[0].timeNs, firstEnd);
    EXPECT_EQ(found[1].frame, rr);
    EXPECT_EQ(found[1].timeNs, time);
    EXPECT_TRUE(capture->finished());
}

TEST(VlinkCapture, GapsAreJudgedByLandingTimesNotByWhenTheReaderRuns) {
    ConsoleCapture console;
    auto capture = std::make_unique<VlinkCapture>();
    int64_t time = 0;
    const std::vector<uint8_t> rr{0x03, 0x11};
    const std::vector<uint8_t> wire = sirWrap(rr);
    feed(*capture, std::vector<uint8_t>(wire.begin(), wire.begin() + 12), time);
    time += 30 * 1000000LL; // longer than a receiver waits for the next byte of a frame
    feed(*capture, std::vector<uint8_t>(wire.begin() + 12, wire.end()), time);
    feed(*capture, wire, time);
    capture->stop(); // everything is read late, all at once

    std::vector<Found> found;
    vlinkCaptureRun(*capture, collect, &found);
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].timeNs, time);
}

TEST(VlinkCapture, FullQueueRefusesWithoutBlocking) {
    auto capture = std::make_unique<VlinkCapture>();
    for (size_t i = 0; i < VLINK_CAPTURE_SLOTS; ++i) {
        ASSERT_TRUE(capture->push(0xFF, 0));
    }
    EXPECT_FALSE(capture->push(0xFF, 0));
    EXPECT_EQ(capture->overflows(), 1U);
}

TEST(VlinkCapture, StoppedEmptyQueueDoesNotWait) {
    auto capture = std::make_unique<VlinkCapture>();
    capture->stop();
    EXPECT_FALSE(capture->waitByte(60000));
    EXPECT_TRUE(capture->finished());
}
