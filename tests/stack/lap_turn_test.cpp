#include <gtest/gtest.h>

#include <array>

#include "console_capture.h"
#include "lap.h"
#include "lap_terms.h"
#include "lap_turn.h"
#include "memory_link.h"

namespace {

// A peer's list: speeds, maximum turnaround, data size, window, extra BOFs, minimum turnaround.
std::array<uint8_t, 18> peerList(uint8_t dataSize, uint8_t window, uint8_t bofs,
                                 uint8_t turnaround) {
    return {0x01, 1, 0x3E,   0x82, 1, 0x01, 0x83, 1, dataSize,
            0x84, 1, window, 0x85, 1, bofs, 0x86, 1, turnaround};
}

LapTerms termsWith(const std::array<uint8_t, 18>& list, uint8_t ourWindow = 7,
                   uint16_t ourSize = 2048) {
    const LapOffer own = lapFullOffer(0x3E, ourWindow, ourSize);
    return lapTakeTerms(own, 0x3E, list.data(), static_cast<uint16_t>(list.size()));
}

TEST(LapTurn, OfferCarriesTheCapsAndTheDefaultStaysAsBefore) {
    const LapOffer full = lapFullOffer(0x3E, 7, 2048);
    EXPECT_EQ(full.dataSizeBits, 0x3F);
    EXPECT_EQ(full.windowBits, 0x7F);
    const LapOffer capped = lapFullOffer(0x3E, 3, 300);
    EXPECT_EQ(capped.dataSizeBits, 0x07); // 64, 128, 256
    EXPECT_EQ(capped.windowBits, 0x07);
    EXPECT_EQ(lapFullOffer(0x3E, 0, 10).windowBits, 0x01);
    EXPECT_EQ(lapFullOffer(0x3E, 0, 10).dataSizeBits, 0x01);
    uint8_t list[LAP_PARAMS_LENGTH]{};
    lapBuildOfferParams(list, full);
    EXPECT_EQ(lapFindParam(list, LAP_PARAMS_LENGTH, 0x84), 0x7F);
    EXPECT_EQ(lapFindParam(list, LAP_PARAMS_LENGTH, 0x83), 0x3F);
}

// The terms of four kinds of real device, as their lists state them.
TEST(LapTurn, EachPeersTermsAreKept) {
    const LapTerms handheld = termsWith(peerList(0x0F, 0x01, 0x80, 0x02));
    EXPECT_EQ(handheld.dataSize, 512);
    EXPECT_EQ(handheld.window, 1);
    EXPECT_EQ(handheld.turnaroundUs, 5000U);
    const LapTerms phone = termsWith(peerList(0x07, 0x07, 0x08, 0x04));
    EXPECT_EQ(phone.dataSize, 256);
    EXPECT_EQ(phone.window, 3);
    EXPECT_EQ(phone.additionalBofs, 5);
    EXPECT_EQ(phone.turnaroundUs, 1000U);
    const LapTerms chip = termsWith(peerList(0x01, 0x01, 0x80, 0x01));
    EXPECT_EQ(chip.dataSize, 64);
    EXPECT_EQ(chip.turnaroundUs, 10000U);
    const LapTerms large = termsWith(peerList(0x3F, 0x7F, 0x80, 0x80));
    EXPECT_EQ(large.dataSize, 2048);
    EXPECT_EQ(large.window, 7);
    EXPECT_EQ(large.maxTurnaroundMs, 500U);
    // Our own caps hold whatever the peer takes.
    const LapTerms capped = termsWith(peerList(0x3F, 0x7F, 0x80, 0x80), 2, 256);
    EXPECT_EQ(capped.window, 2);
    EXPECT_EQ(capped.dataSize, 256);
}

TEST(LapTurn, ATurnFitsTheLinesCapacity) {
    LapTerms fast = termsWith(peerList(0x3F, 0x7F, 0x80, 0x80));
    EXPECT_EQ(lapTurnCapacity(fast), 4608U); // 500 ms at 115200, a fifth kept back
    EXPECT_EQ(lapFieldLimit(fast), 2048);
    LapTerms slow = fast;
    slow.speed = 9600;
    EXPECT_EQ(lapTurnCapacity(slow), 384U);
    // A 2048-byte field cannot go at 9600 within one turn: a frame must fit it.
    const uint16_t field = lapFieldLimit(slow);
    EXPECT_LE(lapLeadBofs(slow) + 2 + LAP_FRAME_OVERHEAD + field, 384);
    EXPECT_GT(field, 300);

    // Two 2048-byte frames fit a fast turn, a third does not; small frames stop at the window.
    std::array<uint8_t, 2050> frame{};
    const uint32_t big = lapWireLength(frame.data(), 2050, 0);
    LapTurn turn(fast);
    int sent = 0;
    for (; turn.fits(big); ++sent) {
        turn.add(big);
    }
    EXPECT_EQ(sent, 2);
    LapTurn smallTurn(fast);
    const uint32_t small = lapWireLength(frame.data(), 66, 0);
    for (sent = 0; smallTurn.fits(small); ++sent) {
        smallTurn.add(small);
    }
    EXPECT_EQ(sent, 7);
    // Even a frame larger than the capacity goes alone rather than never.
    LapTurn slowTurn(slow);
    EXPECT_TRUE(slowTurn.fits(big));
}

TEST(LapTurn, WireLengthMatchesWhatGoesOut) {
    ConsoleCapture quiet;
    // Content with bytes to escape, and an FCS that may need escaping too.
    for (uint8_t fill : {0x00, 0x7D, 0xC0, 0xC1, 0x55}) {
        std::array<uint8_t, 40> content{};
        content.fill(fill);
        content[0] = 0x03;
        content[1] = fill;
        MemoryLink link;
        link.setPeerNeeds(SIR_XBOF_COUNT + 5, 0);
        sirSendFrame(link, content.data(), content.size());
        EXPECT_EQ(lapWireLength(content.data(), content.size(), SIR_XBOF_COUNT + 5),
                  link.sent.size())
            << int{fill};
    }
}

TEST(LapTurn, FieldShrinksOnLossAndGrowsBackAfterCleanFrames) {
    LapFieldSizer sizer;
    // A link starts below a large limit, and a clean line takes it there.
    sizer.start(2048);
    EXPECT_EQ(sizer.size(), LAP_START_FIELD);
    for (int i = 0; i < 3 * LAP_CLEAN_RUN; ++i) {
        sizer.clean();
    }
    EXPECT_EQ(sizer.size(), 2048);
    sizer.lost();
    EXPECT_EQ(sizer.size(), 1024);
    for (int i = 0; i < 10; ++i) {
        sizer.lost();
    }
    EXPECT_EQ(sizer.size(), LAP_MIN_FIELD);
    for (int i = 0; i < LAP_CLEAN_RUN - 1; ++i) {
        sizer.clean();
    }
    EXPECT_EQ(sizer.size(), LAP_MIN_FIELD);
    sizer.clean();
    EXPECT_EQ(sizer.size(), 2 * LAP_MIN_FIELD);
    // A loss restarts the run.
    for (int i = 0; i < LAP_CLEAN_RUN - 1; ++i) {
        sizer.clean();
    }
    sizer.lost();
    sizer.clean();
    EXPECT_EQ(sizer.size(), LAP_MIN_FIELD);
    for (int i = 0; i < 20 * LAP_CLEAN_RUN; ++i) {
        sizer.clean();
    }
    EXPECT_EQ(sizer.size(), 2048);
    // An odd limit is reached, never passed.
    sizer.start(300);
    sizer.lost();
    for (int i = 0; i < 4 * LAP_CLEAN_RUN; ++i) {
        sizer.clean();
    }
    EXPECT_EQ(sizer.size(), 300);
}

// A turn is short only while the line shows errors: not on a fresh link, and no longer once the
// field has grown back to the limit.
TEST(LapTurn, ACutFieldShortensTheTurnUntilItGrowsBack) {
    LapFieldSizer sizer;
    sizer.start(2048);
    EXPECT_EQ(sizer.turnFrames(7), 7);
    sizer.start(256);
    sizer.lost();
    EXPECT_EQ(sizer.turnFrames(7), LAP_CUT_TURN_FRAMES);
    EXPECT_EQ(sizer.turnFrames(1), 1);
    for (int i = 0; i < LAP_CLEAN_RUN; ++i) {
        sizer.clean();
    }
    EXPECT_EQ(sizer.size(), 256);
    EXPECT_EQ(sizer.turnFrames(7), 7);
}

} // namespace
