// A full-profile primary offering windows of 7 and 2048-byte fields against secondaries that ask
// for less: each peer's data size, window, extra BOFs and minimum turnaround are kept, as the
// wire shows, and 8 KB cross each way byte-exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "console_capture.h"
#include "memory_port.h"
#include "primary_station.h"
#include "secondary_station.h"

namespace {

constexpr uint32_t ROUND_MS = 5;
constexpr int SET_UP_ROUNDS = 3000;
constexpr int BULK_ROUNDS = 20000;
constexpr size_t BULK = 8 * 1024;
constexpr uint8_t SPEEDS = 0x3E; // 9600 to 115200

struct PeerTerms {
    const char* name;
    uint16_t dataSize;
    uint8_t window;
    uint32_t turnaroundUs;
    uint16_t extraBofs; // at 115200
    LapOffer offer;     // the same, as the peer's negotiation bits
};

// Bits as the public table lists them: sizes 64..2048, windows 1..7, extra BOFs 48, 24, 12, 5,
// 3, 2, 1, 0 and minimum turnarounds 10, 5, 1, 0.5, 0.1, 0.05, 0.01, 0 ms.
const std::array<PeerTerms, 4> PEERS{{
    {"512 bytes, window 1, 5 ms", 512, 1, 5000, 0, {true, SPEEDS, 0x0F, 0x80, 0x01, 0x02}},
    {"256 bytes, window 3, 1 ms, 5 BOFs", 256, 3, 1000, 5, {true, SPEEDS, 0x07, 0x08, 0x07, 0x04}},
    {"64 bytes, window 1, 10 ms", 64, 1, 10000, 0, {true, SPEEDS, 0x01, 0x80, 0x01, 0x01}},
    {"2048 bytes, window 7, no turnaround", 2048, 7, 0, 0, {true, SPEEDS, 0x3F, 0x80, 0x7F, 0x80}},
}};

std::string pattern(int tag) {
    std::string text(BULK, '\0');
    for (size_t i = 0; i < BULK; ++i) {
        text[i] = static_cast<char>((tag * 13 + static_cast<int>(i * 7 + i / 251)) & 0xFF);
    }
    return text;
}

// XBOFs before each frame's BOF in a stretch of wire bytes (escaping keeps 0xC0 out of content).
std::vector<size_t> xbofRuns(const std::vector<uint8_t>& wire) {
    std::vector<size_t> runs;
    size_t run = 0;
    for (const uint8_t byte : wire) {
        if (byte == SIR_BOF) {
            runs.push_back(run);
        }
        run = byte == SIR_XBOF ? run + 1 : 0;
    }
    return runs;
}

class TermsTest : public ::testing::TestWithParam<PeerTerms> {
  protected:
    void round() {
        simMs += ROUND_MS;
        primaryPort.clockMs = simMs;
        secondaryPort.clockMs = simMs;
        primary.step();
        fromPrimary = primaryPort.line.sent;
        carry(primaryPort.line, secondaryPort.line);
        secondary.step();
        fromSecondary = secondaryPort.line.sent;
        carry(secondaryPort.line, primaryPort.line);
    }

    static void carry(MemoryLink& from, MemoryLink& to) {
        to.incoming.insert(to.incoming.end(), from.sent.begin(), from.sent.end());
        from.sent.clear();
    }

    ConsoleCapture console;
    MemoryPort primaryPort;
    MemoryPort secondaryPort;
    primary::PrimaryStation primary{primaryPort};
    secondary::SecondaryStation secondary{secondaryPort};
    uint32_t simMs = 0;
    std::vector<uint8_t> fromPrimary;
    std::vector<uint8_t> fromSecondary;
};

TEST_P(TermsTest, EachPeersTermsAreKeptAndDataArrivesByteExact) {
    const PeerTerms& peer = GetParam();
    primary.setOffer(lapFullOffer(SPEEDS, 7, 2048));
    secondary.setOffer(peer.offer);
    primary.init();
    secondary.init();
    for (int i = 0; i < SET_UP_ROUNDS && primary.state() != primary::PRIMARY_CONNECTED; ++i) {
        round();
    }
    ASSERT_EQ(primary.state(), primary::PRIMARY_CONNECTED) << peer.name;
    LapConnection& atPrimary = primary.connection();
    LapConnection& atSecondary = secondary.connection();
    primaryPort.line.pausesUs.clear();

    const std::string out = pattern(1);
    const std::string back = pattern(2);
    std::string atSecondaryIn;
    std::string atPrimaryIn;
    size_t sent = 0;
    size_t sentBack = 0;
    size_t primaryTurns = 0;
    std::array<uint8_t, 512> buffer{};
    for (int i = 0; i < BULK_ROUNDS && (atSecondaryIn.size() < BULK || atPrimaryIn.size() < BULK);
         ++i) {
        const size_t piece = std::min<size_t>(atPrimary.room(), BULK - sent);
        sent += atPrimary.send(reinterpret_cast<const uint8_t*>(&out[sent]), piece);
        const size_t pieceBack = std::min<size_t>(atSecondary.room(), BULK - sentBack);
        if (atSecondary.trySend(reinterpret_cast<const uint8_t*>(&back[sentBack]), pieceBack)) {
            sentBack += pieceBack;
        }
        round();
        size_t count = atSecondary.receive(buffer.data(), buffer.size());
        atSecondaryIn.append(buffer.begin(), buffer.begin() + static_cast<long>(count));
        count = atPrimary.receive(buffer.data(), buffer.size());
        atPrimaryIn.append(buffer.begin(), buffer.begin() + static_cast<long>(count));

        // One turn of each side per round: no more frames than the peer's window, no field
        // above its data size, the last frame of the turn with P/F.
        for (const std::vector<uint8_t>* wire : {&fromPrimary, &fromSecondary}) {
            const auto frames = sirUnwrapAll(*wire);
            EXPECT_LE(frames.size(), peer.window) << peer.name;
            for (const auto& frame : frames) {
                EXPECT_LE(frame.size(), 2U + peer.dataSize) << peer.name;
            }
            if (!frames.empty()) {
                EXPECT_NE(frames.back()[1] & LAP_PF, 0) << peer.name;
            }
        }
        // The primary's frames carry the BOFs the peer asked for; each turn waited its turnaround.
        for (const size_t run : xbofRuns(fromPrimary)) {
            EXPECT_EQ(run, peer.extraBofs) << peer.name; // what it asked for, no more
        }
        primaryTurns += fromPrimary.empty() ? 0 : 1;
    }
    EXPECT_TRUE(atSecondaryIn == out) << peer.name << ": " << atSecondaryIn.size() << " bytes";
    EXPECT_TRUE(atPrimaryIn == back) << peer.name << ": " << atPrimaryIn.size() << " bytes";
    const std::vector<uint32_t>& pauses = primaryPort.line.pausesUs;
    if (peer.turnaroundUs == 0) {
        EXPECT_TRUE(pauses.empty()) << peer.name;
    } else {
        EXPECT_EQ(pauses.size(), primaryTurns) << peer.name;
        EXPECT_TRUE(std::all_of(pauses.begin(), pauses.end(), [&](uint32_t us) {
            return us >= peer.turnaroundUs;
        })) << peer.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Peers, TermsTest, ::testing::ValuesIn(PEERS));

} // namespace
