#include <gtest/gtest.h>

#include <vector>

#include "console_capture.h"
#include "lap.h"
#include "lap_connection.h"
#include "lap_data.h"
#include "lap_window.h"
#include "memory_port.h"

namespace {

// An I-frame whose one byte of field names its place in the stream.
void addFrame(LapWindow& window, uint8_t value, uint8_t lane = 0) {
    const std::span<uint8_t> frame = window.buildSpace();
    frame[0] = 0x01;
    frame[1] = static_cast<uint8_t>(window.nextNs() << 1);
    frame[2] = value;
    window.add(3, lane, 1);
}

TEST(LapWindow, AnNrIsValidFromTheOldestFrameInFlightToTheNextToBeSent) {
    for (uint8_t first = 0; first < 8; ++first) {
        for (uint8_t sent = 0; sent <= LAP_WINDOW_MAX; ++sent) {
            LapWindow window;
            window.reset(first);
            for (uint8_t i = 0; i < sent; ++i) {
                addFrame(window, i);
            }
            for (uint8_t nr = 0; nr < 8; ++nr) {
                // Counting on from the oldest Ns, the Nr lands within the frames sent or just
                // past the last of them.
                bool expected = false;
                for (uint8_t k = 0; k <= sent; ++k) {
                    expected = expected || ((first + k) % 8) == nr;
                }
                EXPECT_EQ(window.validNr(nr), expected)
                    << "first " << int{first} << " sent " << int{sent} << " nr " << int{nr};
            }
        }
    }
}

TEST(LapWindow, StampSetsNrAndPollAndKeepsNs) {
    LapHeldIFrame held;
    held.frame[1] = 0x0A; // Ns 5
    held.length = 2;
    LapWindow::stamp(held, 3, true);
    EXPECT_EQ(held.frame[1], 0x7A); // Nr 3, P/F, Ns 5
    LapWindow::stamp(held, 6, false);
    EXPECT_EQ(held.frame[1], 0xCA);
}

// A window of seven against a receiver that takes frames in sequence only: with one frame lost at
// each place of the window, going back to the first missing delivers every frame once, in order.
TEST(LapWindow, GoBackNDeliversEveryFrameOnceInOrderWhateverIsLost) {
    constexpr uint8_t FRAMES = 40;
    for (uint8_t lost = 0; lost < LAP_WINDOW_MAX; ++lost) {
        LapWindow window;
        window.reset(0);
        uint8_t expectedNs = 0;
        std::vector<uint8_t> delivered;
        uint8_t nextValue = 0;
        int turns = 0;
        bool dropped = false;
        uint32_t clean = 0;
        while (delivered.size() < FRAMES && turns < 100) {
            ++turns;
            while (!window.full(LAP_WINDOW_MAX) && nextValue < FRAMES) {
                addFrame(window, nextValue++);
            }
            // Every frame in flight goes, oldest first; one goes missing on the first turn.
            for (uint8_t i = 0; i < window.inFlight(); ++i) {
                LapHeldIFrame& held = window.at(i);
                ++held.sendings; // those left from an earlier turn go again
                const bool lose = !dropped && i == lost;
                dropped = dropped || lose;
                if (!lose && lapNs(held.frame[1]) == expectedNs) {
                    delivered.push_back(held.frame[2]);
                    expectedNs = lapSeqNext(expectedNs);
                }
            }
            ASSERT_TRUE(window.validNr(expectedNs));
            const uint8_t before = window.inFlight();
            clean += window.acknowledge(expectedNs).clean;
            EXPECT_EQ(window.oldestNs(), expectedNs);
            EXPECT_LE(window.inFlight(), before);
        }
        ASSERT_EQ(delivered.size(), FRAMES) << "lost at " << int{lost};
        for (uint8_t i = 0; i < FRAMES; ++i) {
            EXPECT_EQ(delivered[i], i) << "lost at " << int{lost};
        }
        EXPECT_EQ(window.inFlight(), 0);
        EXPECT_EQ(window.laneBytes(0), 0U);
        // The lost frame and those after it in its window went twice.
        EXPECT_EQ(clean, FRAMES - (LAP_WINDOW_MAX - lost)) << "lost at " << int{lost};
    }
}

TEST(LapWindow, LaneBytesCountUntilAcknowledged) {
    LapWindow window;
    window.reset(6);
    addFrame(window, 1, 0);
    addFrame(window, 2, 2);
    addFrame(window, 3, 2);
    EXPECT_EQ(window.laneBytes(0), 1U);
    EXPECT_EQ(window.laneBytes(2), 2U);
    EXPECT_FALSE(window.validNr(2));                     // Ns 6, 7, 0 in flight: Nr 6 to 1 only
    const LapAcknowledged first = window.acknowledge(0); // frames 6 and 7
    EXPECT_EQ(first.frames, 2);
    EXPECT_EQ(first.clean, 2);
    EXPECT_EQ(window.laneBytes(0), 0U);
    EXPECT_EQ(window.laneBytes(2), 1U);
    EXPECT_EQ(window.nextNs(), 1);
}

} // namespace

// A turn whose oldest frame keeps failing starts after a pause, and never twice in a row after the
// same one, so noise at a steady beat cannot meet that frame at the same moment every time; the
// first two sendings and any turn after progress go at once.
TEST(LapWindow, ATurnStuckOnItsOldestFrameMovesAgainstTheBeat) {
    const ConsoleCapture quiet;
    MemoryPort port;
    LapConnection conn(true);
    conn.setUp(lapFullOffer(0x3E, 7, 256), 0x01020304);
    conn.terms = LapTerms{115200, 256, 0, 0, 7, 500, 0};
    conn.resetWindow();
    auto queueFrame = [&](uint8_t value) {
        conn.tx[0] = 0x03;
        conn.tx[1] = 0x00;
        conn.tx[2] = value;
        conn.openTurn();
        ASSERT_EQ(conn.sendHeld(port, 3), IR_OK);
    };
    queueFrame(1);
    queueFrame(2);
    std::vector<uint32_t> pauses;
    for (int turn = 0; turn < 12; ++turn) {
        port.line.pausesUs.clear();
        ASSERT_EQ(conn.endTurn(port), IR_OK);
        pauses.push_back(port.line.pausesUs.empty() ? 0 : port.line.pausesUs.front());
        EXPECT_LE(port.line.pausesUs.size(), 1U);
    }
    EXPECT_EQ(pauses[0], 0U);
    EXPECT_EQ(pauses[1], 0U);
    for (size_t i = 2; i < pauses.size(); ++i) {
        EXPECT_GT(pauses[i], 0U) << i;
        EXPECT_LE(pauses[i], 20000U) << i;
        EXPECT_NE(pauses[i], pauses[i - 1]) << i;
    }
    // Both acknowledged: a new frame goes at once.
    EXPECT_TRUE(conn.takeNr(static_cast<uint8_t>(2 << 5)));
    queueFrame(3);
    port.line.pausesUs.clear();
    ASSERT_EQ(conn.endTurn(port), IR_OK);
    EXPECT_TRUE(port.line.pausesUs.empty());
}
