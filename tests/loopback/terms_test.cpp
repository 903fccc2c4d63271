// A full-profile primary offering windows of 7 and 2048-byte fields against secondaries that ask
// for less: each peer's data size, window, extra BOFs and minimum turnaround are kept, as the
// wire shows, and 8 KB cross each way byte-exact. The turnaround is read off the wire in every
// phase: the link's set-up, IAS, the connects, data, a second channel and the channels' close.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
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
const char* const BULK_CLASS = "Bulk";
const char* const BULK_ATTRIBUTE = "TinyTP:LsapSel";

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

// The primary's turns as the wire shows them. Once the UA has named the device's terms, a turn that
// follows a frame of the device's waits its minimum turnaround before the turn's first byte; no
// other pause comes (a turn's frames follow each other, a repeat after silence waits nothing).
struct TurnaroundAudit {
    uint32_t turnaroundUs = 0;
    bool termsNamed = false;
    bool deviceSpoke = false;
    std::map<std::string, int> followed; // turns after a frame of the device's, per phase

    void primaryTurn(MemoryLink& line, const std::string& phase) {
        if (!line.sent.empty()) {
            const bool owed = termsNamed && deviceSpoke && turnaroundUs != 0;
            EXPECT_EQ(line.pausesUs.size(), owed ? 1U : 0U) << phase;
            if (owed && !line.pausesUs.empty()) {
                EXPECT_GE(line.pausesUs[0], turnaroundUs) << phase;
                EXPECT_EQ(line.pausedAt[0], 0U) << phase;
            }
            followed[phase] += deviceSpoke ? 1 : 0;
            deviceSpoke = false;
        }
        EXPECT_TRUE(!line.sent.empty() || line.pausesUs.empty()) << phase;
        line.pausesUs.clear();
        line.pausedAt.clear();
    }

    void deviceTurn(const std::vector<uint8_t>& wire) {
        for (const auto& frame : sirUnwrapAll(wire)) {
            deviceSpoke = true;
            termsNamed = termsNamed || (frame.size() >= 2 && (frame[1] & 0xEF) == LAP_UA);
        }
    }
};

class TermsTest : public ::testing::TestWithParam<PeerTerms> {
  protected:
    // One step of each; `stage` names the phase, or the primary's state does.
    void round(const char* stage = nullptr) {
        simMs += ROUND_MS;
        primaryPort.clockMs = simMs;
        secondaryPort.clockMs = simMs;
        primary.step();
        audit.primaryTurn(primaryPort.line, stage != nullptr ? stage : phaseOf(primary.state()));
        fromPrimary = primaryPort.line.sent;
        carry(primaryPort.line, secondaryPort.line);
        secondary.step();
        fromSecondary = secondaryPort.line.sent;
        audit.deviceTurn(fromSecondary);
        carry(secondaryPort.line, primaryPort.line);
    }

    static const char* phaseOf(uint8_t state) {
        if (state <= primary::PRIMARY_LINK_CHECK) {
            return "link set-up";
        }
        if (state <= primary::PRIMARY_IAS_DISCONNECT) {
            return "IAS";
        }
        return state < primary::PRIMARY_CONNECTED ? "connect" : "data";
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
    TurnaroundAudit audit;
    std::vector<uint8_t> fromPrimary;
    std::vector<uint8_t> fromSecondary;
};

TEST_P(TermsTest, EachPeersTermsAreKeptAndDataArrivesByteExact) {
    const PeerTerms& peer = GetParam();
    primary.setOffer(lapFullOffer(SPEEDS, 7, 2048));
    secondary.setOffer(peer.offer);
    audit.turnaroundUs = peer.turnaroundUs;
    primary.init();
    secondary.init();
    for (int i = 0; i < SET_UP_ROUNDS && primary.state() != primary::PRIMARY_CONNECTED; ++i) {
        round();
    }
    ASSERT_EQ(primary.state(), primary::PRIMARY_CONNECTED) << peer.name;
    LapConnection& atPrimary = primary.connection();
    LapConnection& atSecondary = secondary.connection();

    const std::string out = pattern(1);
    const std::string back = pattern(2);
    std::string atSecondaryIn;
    std::string atPrimaryIn;
    size_t sent = 0;
    size_t sentBack = 0;
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
        // The primary's frames carry the BOFs the peer asked for.
        for (const size_t run : xbofRuns(fromPrimary)) {
            EXPECT_EQ(run, peer.extraBofs) << peer.name; // what it asked for, no more
        }
    }
    EXPECT_TRUE(atSecondaryIn == out) << peer.name << ": " << atSecondaryIn.size() << " bytes";
    EXPECT_TRUE(atPrimaryIn == back) << peer.name << ": " << atPrimaryIn.size() << " bytes";

    // A second channel opened and both channels closed again.
    ASSERT_EQ(secondary.addService(BULK_CLASS, BULK_ATTRIBUTE, true), 1);
    ASSERT_EQ(primary.addChannel(BULK_CLASS, BULK_ATTRIBUTE, -1, true), 1);
    for (int i = 0; i < SET_UP_ROUNDS && atPrimary.extra(1).state() == CHANNEL_CONNECTING; ++i) {
        round("second channel");
    }
    ASSERT_EQ(atSecondary.extra(1).state(), CHANNEL_OPEN) << peer.name;
    primary.closeChannel(1);
    primary.closeChannel(0);
    for (int i = 0; i < SET_UP_ROUNDS && (secondary.state() != secondary::SEC_LINKED ||
                                          atSecondary.extra(1).state() == CHANNEL_OPEN);
         ++i) {
        round("close");
    }
    EXPECT_EQ(secondary.state(), secondary::SEC_LINKED) << peer.name;
    for (const char* phase : {"link set-up", "IAS", "connect", "data", "second channel", "close"}) {
        EXPECT_GT(audit.followed[phase], 0) << peer.name << ": no turn seen in " << phase;
    }
}

INSTANTIATE_TEST_SUITE_P(Peers, TermsTest, ::testing::ValuesIn(PEERS));

} // namespace
