#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_capture.h"
#include "memory_link.h"
#include "sir.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes withXbofs(const Bytes& tail) {
    Bytes wire(10, 0xFF);
    wire.insert(wire.end(), tail.begin(), tail.end());
    return wire;
}

Bytes sendFrame(const Bytes& content) {
    MemoryLink link;
    sirSendFrame(link, content.data(), static_cast<uint16_t>(content.size()));
    return link.sent;
}

TEST(Fcs, CheckValueAndResidue) {
    const std::string digits = "123456789";
    const Bytes content(digits.begin(), digits.end());
    ConsoleCapture capture;
    Bytes expected = withXbofs({0xC0});
    expected.insert(expected.end(), content.begin(), content.end());
    expected.insert(expected.end(), {0x6E, 0x90, 0xC1});
    EXPECT_EQ(sendFrame(content), expected);

    uint16_t fcs = FCS_INIT;
    for (const uint8_t b : content) {
        fcs = fcsUpdate(fcs, b);
    }
    fcs = fcsUpdate(fcsUpdate(fcs, 0x6E), 0x90);
    EXPECT_EQ(fcs, FCS_GOOD);
}

TEST(SirSend, RrResponseWireBytesAndTrace) {
    ConsoleCapture capture;
    EXPECT_EQ(sendFrame({0x02, 0x11}), withXbofs({0xC0, 0x02, 0x11, 0xFF, 0x3D, 0xC1}));
    EXPECT_EQ(capture.take(), "\n[ 02 11 ]\n\t<-  A: 0x01 C/R: 0 P/F: 1 RR   Nr: 0");
}

TEST(SirSend, EscapesOnlyBofEofAndCeInContent) {
    ConsoleCapture capture;
    EXPECT_EQ(
        sendFrame({0x7D, 0xC0, 0xC1, 0xFF, 0x7E, 0x20}),
        withXbofs({0xC0, 0x7D, 0x5D, 0x7D, 0xE0, 0x7D, 0xE1, 0xFF, 0x7E, 0x20, 0x61, 0xE6, 0xC1}));
}

TEST(SirSend, EscapesFcsBytes) {
    ConsoleCapture capture;
    // This content's FCS is C0 then C1 on the wire.
    EXPECT_EQ(sendFrame({0x02, 0x77, 0xFF}),
              withXbofs({0xC0, 0x02, 0x77, 0xFF, 0x7D, 0xE0, 0x7D, 0xE1, 0xC1}));
}

struct SirReceive : ::testing::Test {
    MemoryLink link;
    RxFrame buffer{};
    ConsoleCapture capture;

    uint16_t receive() { return sirReceiveFrame(link, buffer); }
};

// The peer's minimum turnaround counts from its last byte: owed after a frame heard or still
// unread, once more for one that comes during the pause, and not between the frames of a turn.
TEST_F(SirReceive, TurnaroundFollowsEveryByteOfThePeers) {
    using Pauses = std::vector<uint32_t>;
    const Bytes rr{0x02, 0x11};
    link.setPeerNeeds(SIR_XBOF_COUNT, 10000);
    auto send = [&] {
        link.pausesUs.clear();
        sirSendFrame(link, rr.data(), static_cast<uint16_t>(rr.size()));
        return link.pausesUs;
    };
    EXPECT_EQ(send(), Pauses{10000}); // nothing known of the line yet
    EXPECT_EQ(send(), Pauses{});      // the turn's next frame
    link.feedFrame(rr);
    ASSERT_EQ(receive(), 2);
    EXPECT_EQ(send(), Pauses{10000});
    link.feedFrame(rr);
    EXPECT_EQ(send(), Pauses{10000}); // unread, but on the line before ours
    ASSERT_EQ(receive(), 2);
    link.arrivingInPause = sirWrap(rr);
    EXPECT_EQ(send(), (Pauses{10000, 10000}));
    link.setPeerNeeds(SIR_XBOF_COUNT, 0);
    ASSERT_EQ(receive(), 2);
    link.waits.clear();
    EXPECT_EQ(send(), Pauses{});
    EXPECT_TRUE(link.waits.empty()); // without a turnaround the line is not even looked at
}

TEST_F(SirReceive, IntactFrameIsTracedThenDotted) {
    link.feedFrame({0x02, 0x11});
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(buffer[0], 0x02);
    EXPECT_EQ(buffer[1], 0x11);
    EXPECT_EQ(buffer[2], 0xFF); // FCS stays behind the content
    EXPECT_EQ(buffer[3], 0x3D);
    EXPECT_EQ(capture.take(), "\n[ 02 11 ]\n\t<-  A: 0x01 C/R: 0 P/F: 1 RR   Nr: 0.");
}

TEST_F(SirReceive, HuntDropsNoiseWithLongWaitsThenShortOnes) {
    link.feed({0x55, 0x66});
    link.feedFrame({0x02, 0x11});
    EXPECT_EQ(receive(), 2);
    const std::vector<uint16_t> hunt(13, 500); // 2 noise bytes, 10 XBOFs, BOF
    EXPECT_EQ(std::vector<uint16_t>(link.waits.begin(), link.waits.begin() + 13), hunt);
    EXPECT_EQ(link.waits.size(), 13U + 5U); // content, FCS and EOF at 20 ms
    EXPECT_EQ(link.waits.back(), 20);
}

TEST_F(SirReceive, SilenceYieldsZero) {
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(link.waits, std::vector<uint16_t>{500});
    EXPECT_EQ(capture.take(), "");
}

TEST_F(SirReceive, RepeatedBofCountsAsOne) {
    Bytes wire = sirWrap({0x02, 0x11});
    wire.insert(wire.begin() + 10, {0xC0, 0xC0});
    link.feed(wire);
    EXPECT_EQ(receive(), 2);
}

TEST_F(SirReceive, BofInsideFrameAbortsItAndBeginsTheNext) {
    Bytes wire{0xC0, 0x02, 0x11, 0x55};
    const Bytes whole = sirWrap({0x02, 0x11});
    wire.insert(wire.end(), whole.begin() + 10, whole.end()); // from its BOF
    link.feed(wire);
    EXPECT_EQ(receive(), 2);
    EXPECT_TRUE(link.incoming.empty());
}

TEST_F(SirReceive, CeThenSilenceYieldsZero) {
    link.feed({0xC0, 0x02, 0x7D});
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(capture.take(), "");
}

TEST_F(SirReceive, WrongFcsYieldsZeroSilently) {
    link.feed(withXbofs({0xC0, 0x02, 0x11, 0xFF, 0x3E, 0xC1}));
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(capture.take(), "");
}

TEST_F(SirReceive, EscapedEofIsData) {
    link.feedFrame({0x03, 0xC1, 0x7D, 0xC0});
    EXPECT_EQ(receive(), 4);
    EXPECT_EQ(buffer[1], 0xC1);
    EXPECT_EQ(buffer[2], 0x7D);
    EXPECT_EQ(buffer[3], 0xC0);
}

TEST_F(SirReceive, LongestContentIsAccepted) {
    const Bytes content(SIR_MAX_CONTENT, 0x11);
    link.feedFrame(content);
    EXPECT_EQ(receive(), SIR_MAX_CONTENT);
}

TEST_F(SirReceive, OneByteTooLongIsRejectedBeforeItsEof) {
    link.feedFrame(Bytes(SIR_MAX_CONTENT + 1, 0x11));
    EXPECT_EQ(receive(), 0);
    ASSERT_EQ(link.incoming.size(), 1U);
    EXPECT_EQ(link.incoming.front(), SIR_EOF);
    EXPECT_EQ(capture.take(), "");
}

TEST_F(SirReceive, EmptyFramePassesIsTracedAndYieldsZero) {
    link.feed({0xC0, 0x00, 0x00, 0xC1});
    EXPECT_EQ(receive(), 0);
    const std::string text = capture.take();
    EXPECT_EQ(text.substr(0, 4), "\n[ ]");
    EXPECT_EQ(text.back(), '.');
}

TEST_F(SirReceive, EofWithOneByteYieldsZero) {
    link.feed({0xC0, 0x00, 0xC1});
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(capture.take(), "");
}

} // namespace
