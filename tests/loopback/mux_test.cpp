// Two channels over one full-profile link, both real engines stepped in turn on a simulated clock:
// an IrCOMM channel and a raw one on another selector carry 16 KB each way byte-exact, whichever
// service the secondary offered first (and so on the first selector); a reader
// that stops holds up only its own channel; a peer's LM disconnect ends one channel only; a
// connect to a selector not offered and a query for a class not offered end only that channel.
// Every frame on the wire is audited: no data PDU goes out without a credit for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "console_capture.h"
#include "memory_port.h"
#include "primary_station.h"
#include "secondary_station.h"

namespace {

constexpr uint32_t ROUND_MS = 5;
constexpr int SET_UP_ROUNDS = 3000;
constexpr size_t BULK = 16 * 1024;
constexpr int BULK_ROUNDS = 4000;
// Rounds in which each rate is measured: both channels busy both ways all through.
constexpr int RATE_WARM_UP = 20;
constexpr int RATE_ROUNDS = 150;
const char* const BULK_CLASS = "Bulk";
const char* const BULK_ATTRIBUTE = "TinyTP:LsapSel";

// One direction's data PDUs and the credits granted for them, per selector pair, from the frames
// on the wire.
struct CreditAudit {
    std::map<std::pair<int, int>, int> allowed; // (from, to) selectors
    std::map<std::pair<int, int>, int> sent;
    int dataPdus = 0;
    int violations = 0;
};

struct Wire {
    CreditAudit* own;
    CreditAudit* reverse; // credits this side grants are the other side's to spend
    int expectedNs = 0;

    void carry(MemoryLink& from, MemoryLink& to) {
        for (const std::vector<uint8_t>& frame : sirUnwrapAll(from.sent)) {
            audit(frame);
        }
        to.incoming.insert(to.incoming.end(), from.sent.begin(), from.sent.end());
        from.sent.clear();
    }

    void audit(const std::vector<uint8_t>& f) {
        if (f.size() < 2 || (f[1] & 0x03) == 0x03) {
            expectedNs = (f.size() >= 2 && (f[1] & 0xEF) == LAP_SNRM) ? 0 : expectedNs;
            return;
        }
        if ((f[1] & 1) != 0 || ((f[1] >> 1) & 7) != expectedNs || f.size() < 5) {
            return; // supervisory, a repeat, or no LM-MUX header
        }
        expectedNs = (expectedNs + 1) & 7;
        const int to = f[2] & 0x7F;
        const int from = f[3];
        if (to == IAS_LSAP || from == IAS_LSAP) {
            return; // IAS is not TinyTP
        }
        if ((f[2] & LMP_CONTROL) != 0) {
            // A connect starts the pair's count afresh, its confirm adds the other way's start.
            if (f[4] != LMP_CONNECT_CONFIRM) {
                own->allowed.erase({from, to});
                own->sent.erase({from, to});
            }
            reverse->allowed.erase({to, from});
            reverse->sent.erase({to, from});
            if (f[4] != LMP_DISCONNECT && f.size() >= 7) {
                reverse->allowed[{to, from}] = f[6] & 0x7F;
            }
            return;
        }
        reverse->allowed[{to, from}] += f[4] & 0x7F;
        if (f.size() > 5) {
            ++own->dataPdus;
            if (++own->sent[{from, to}] > own->allowed[{from, to}]) {
                ++own->violations;
            }
        }
    }
};

// One end of one channel: what it sends and what it has read.
struct End {
    std::string out;
    size_t sent = 0;
    std::string in;
    bool reading = true;
};

std::string pattern(int tag, size_t length) {
    std::string text(length, tag);
    for (size_t i = 0; i < length; ++i) {
        text[i] = static_cast<char>(tag + static_cast<int>((i * 7 + i / 251) % 23));
    }
    return text;
}

class MuxTest : public ::testing::Test {
  protected:
    // The secondary offers the raw service first: IrCOMM gets the second selector.
    virtual bool rawFirst() const { return false; }

    void SetUp() override {
        primary.setOffer(lapFullOffer(0x3E));
        secondary.setOffer(lapFullOffer(0x3E));
        if (rawFirst()) {
            ASSERT_EQ(secondary.setService(BULK_CLASS, BULK_ATTRIBUTE, true), IR_OK);
            ASSERT_EQ(secondary.addService(nullptr, nullptr, false), 1);
        } else {
            ASSERT_EQ(secondary.addService(BULK_CLASS, BULK_ATTRIBUTE, true), 1);
        }
        commLane = rawFirst() ? 1 : 0;
        rawLane = rawFirst() ? 0 : 1;
        primary.init();
        secondary.init();
        for (int i = 0; i < SET_UP_ROUNDS && primary.state() != primary::PRIMARY_CONNECTED; ++i) {
            round();
        }
        ASSERT_EQ(primary.state(), primary::PRIMARY_CONNECTED);
        ASSERT_EQ(primary.addChannel(BULK_CLASS, BULK_ATTRIBUTE, -1, true), 1);
        for (int i = 0; i < SET_UP_ROUNDS && atPrimary().extra(1).state() == CHANNEL_CONNECTING;
             ++i) {
            round();
        }
        ASSERT_EQ(atPrimary().extra(1).state(), CHANNEL_OPEN);
        ASSERT_TRUE(secondaryOpen(commLane) && secondaryOpen(rawLane));
    }

    LapConnection& atPrimary() { return primary.connection(); }
    LapConnection& atSecondary() { return secondary.connection(); }

    // The secondary's end of a lane, whichever kind it is.
    bool secondaryOpen(uint8_t lane) {
        return lane == 0 ? atSecondary().phase() == LINK_OPEN
                         : atSecondary().extra(lane).state() == CHANNEL_OPEN;
    }
    int secondaryRoom(uint8_t lane) {
        return lane == 0 ? atSecondary().room() : atSecondary().extra(lane).room();
    }
    size_t secondaryWrite(uint8_t lane, const uint8_t* data, size_t count) {
        if (lane == 0) {
            return atSecondary().trySend(data, count) ? count : 0;
        }
        return atSecondary().extra(lane).write(data, count);
    }
    size_t secondaryRead(uint8_t lane, uint8_t* buffer, size_t size) {
        return lane == 0 ? atSecondary().receive(buffer, size)
                         : atSecondary().extra(lane).read(buffer, size);
    }

    void round() {
        simMs += ROUND_MS;
        primaryPort.clockMs = simMs;
        secondaryPort.clockMs = simMs;
        primary.step();
        toSecondary.carry(primaryPort.line, secondaryPort.line);
        secondary.step();
        toPrimary.carry(secondaryPort.line, primaryPort.line);
    }

    // Moves every end's bytes as far as the queues let them: [0] primary's and [1] secondary's
    // end of the IrCOMM channel (the primary's first), [2] and [3] of the raw one.
    void pump() {
        std::array<uint8_t, 300> buffer{};
        auto write = [](End& end, auto&& push, int room) {
            const size_t piece =
                std::min<size_t>(static_cast<size_t>(std::max(room, 0)), end.out.size() - end.sent);
            if (piece > 0) {
                end.sent += push(reinterpret_cast<const uint8_t*>(&end.out[end.sent]), piece);
            }
        };
        write(
            ends[0], [&](const uint8_t* d, size_t n) { return atPrimary().send(d, n); },
            atPrimary().room());
        write(
            ends[1], [&](const uint8_t* d, size_t n) { return secondaryWrite(commLane, d, n); },
            secondaryRoom(commLane));
        write(
            ends[2], [&](const uint8_t* d, size_t n) { return atPrimary().extra(1).write(d, n); },
            atPrimary().extra(1).room());
        write(
            ends[3], [&](const uint8_t* d, size_t n) { return secondaryWrite(rawLane, d, n); },
            secondaryRoom(rawLane));
        auto read = [&](End& end, auto&& pop) {
            if (end.reading) {
                const size_t count = pop(buffer.data(), buffer.size());
                end.in.append(buffer.begin(), buffer.begin() + static_cast<long>(count));
            }
        };
        read(ends[0], [&](uint8_t* b, size_t n) { return atPrimary().receive(b, n); });
        read(ends[1], [&](uint8_t* b, size_t n) { return secondaryRead(commLane, b, n); });
        read(ends[2], [&](uint8_t* b, size_t n) { return atPrimary().extra(1).read(b, n); });
        read(ends[3], [&](uint8_t* b, size_t n) { return secondaryRead(rawLane, b, n); });
    }

    void load(int tag) {
        for (size_t i = 0; i < ends.size(); ++i) {
            ends[i].out = pattern(tag + 20 * static_cast<int>(i), BULK);
            ends[i].sent = 0;
            ends[i].in.clear();
        }
    }

    bool delivered() const {
        return ends[0].in.size() == BULK && ends[1].in.size() == BULK &&
               ends[2].in.size() == BULK && ends[3].in.size() == BULK;
    }

    void expectExact() const {
        EXPECT_TRUE(ends[1].in == ends[0].out) << "channel 0, primary to secondary";
        EXPECT_TRUE(ends[0].in == ends[1].out) << "channel 0, secondary to primary";
        EXPECT_TRUE(ends[3].in == ends[2].out) << "channel 1, primary to secondary";
        EXPECT_TRUE(ends[2].in == ends[3].out) << "channel 1, secondary to primary";
    }

    // Bytes one channel (the primary's end at `end`, the secondary's after it) delivered each way
    // in RATE_ROUNDS rounds, after a warm-up.
    std::pair<size_t, size_t> channelRate(size_t end) {
        for (int i = 0; i < RATE_WARM_UP; ++i) {
            round();
            pump();
        }
        const size_t toSecondaryBefore = ends[end + 1].in.size();
        const size_t toPrimaryBefore = ends[end].in.size();
        for (int i = 0; i < RATE_ROUNDS; ++i) {
            round();
            pump();
        }
        return {ends[end + 1].in.size() - toSecondaryBefore, ends[end].in.size() - toPrimaryBefore};
    }

    void finish() {
        for (int i = 0; i < BULK_ROUNDS && !delivered(); ++i) {
            round();
            pump();
        }
    }

    void expectCreditsKept() {
        EXPECT_EQ(fromPrimary.violations, 0);
        EXPECT_EQ(fromSecondary.violations, 0);
        for (uint8_t lane = 0; lane < 2; ++lane) {
            EXPECT_EQ(primary.connection().credits(lane).overruns, 0U);
            EXPECT_EQ(secondary.connection().credits(lane).overruns, 0U);
        }
    }

    ConsoleCapture console;
    MemoryPort primaryPort;
    MemoryPort secondaryPort;
    primary::PrimaryStation primary{primaryPort};
    secondary::SecondaryStation secondary{secondaryPort};
    CreditAudit fromPrimary;
    CreditAudit fromSecondary;
    Wire toSecondary{&fromPrimary, &fromSecondary};
    Wire toPrimary{&fromSecondary, &fromPrimary};
    uint32_t simMs = 0;
    std::array<End, 4> ends;
    uint8_t commLane = 0;
    uint8_t rawLane = 1;
};

class MuxOrderTest : public MuxTest, public ::testing::WithParamInterface<bool> {
  protected:
    bool rawFirst() const override { return GetParam(); }
};

TEST_P(MuxOrderTest, TwoChannelsCarryBulkEachWayAndAStoppedReaderHoldsUpOnlyItsOwn) {
    // The secondary's reader on its second selector will stop (its queue is the small one); the
    // other channel must keep its pace.
    const size_t stopped = rawFirst() ? 1 : 3;
    const size_t going = rawFirst() ? 2 : 0;
    const uint8_t stoppedLane = rawFirst() ? 0 : 1; // the primary's
    load('0');
    const auto [sharedOut, sharedIn] = channelRate(going);
    finish();
    ASSERT_TRUE(delivered());
    expectExact();

    load('1');
    ends[stopped].reading = false;
    const auto [aloneOut, aloneIn] = channelRate(going);
    EXPECT_GE(aloneOut * 10, sharedOut * 9);
    EXPECT_GE(aloneIn * 10, sharedIn * 9);
    EXPECT_GT(sharedOut, BULK / 10); // the rates measured are of data moving
    EXPECT_GT(sharedIn, BULK / 10);
    // The stopped channel's sender runs out of credits instead of filling the link.
    for (int i = 0; i < BULK_ROUNDS && atPrimary().credits(stoppedLane).toSend != 0; ++i) {
        round();
        pump();
    }
    EXPECT_EQ(atPrimary().credits(stoppedLane).toSend, 0);
    ends[stopped].reading = true;
    finish();
    ASSERT_TRUE(delivered());
    expectExact();
    expectCreditsKept();
    EXPECT_GT(fromPrimary.dataPdus, static_cast<int>(4 * BULK / FULL_STAGING_SIZE));
    EXPECT_GT(fromSecondary.dataPdus, static_cast<int>(4 * BULK / FULL_STAGING_SIZE));
}

INSTANTIATE_TEST_SUITE_P(IrCommOfferedFirstOrSecond, MuxOrderTest, ::testing::Bool());

TEST_F(MuxTest, APeersDisconnectEndsOneChannelWhileTheOtherGoesOn) {
    secondary.closeChannel(1);
    for (int i = 0; i < 50 && atPrimary().extra(1).state() == CHANNEL_OPEN; ++i) {
        round();
    }
    EXPECT_EQ(atPrimary().extra(1).state(), CHANNEL_ENDED);
    EXPECT_EQ(atPrimary().extra(1).endReason(), CHANNEL_END_PEER);
    EXPECT_EQ(atSecondary().extra(1).state(), CHANNEL_IDLE);

    load('2');
    ends[2].out.clear();
    ends[3].out.clear();
    for (int i = 0; i < BULK_ROUNDS && (ends[0].in.size() < BULK || ends[1].in.size() < BULK);
         ++i) {
        round();
        pump();
    }
    EXPECT_TRUE(ends[1].in == ends[0].out);
    EXPECT_TRUE(ends[0].in == ends[1].out);
    EXPECT_EQ(primary.state(), primary::PRIMARY_CONNECTED);
    EXPECT_EQ(atPrimary().phase(), LINK_OPEN);

    atPrimary().extra(1).requestClose();
    ASSERT_EQ(primary.addChannel(nullptr, nullptr, -1, false), 1); // the lane again
    for (int i = 0; i < 200 && atPrimary().extra(1).state() == CHANNEL_CONNECTING; ++i) {
        round();
    }
    EXPECT_EQ(atPrimary().extra(1).state(), CHANNEL_ENDED); // the IrCOMM service is in use
    EXPECT_EQ(atPrimary().extra(1).endReason(), CHANNEL_END_REFUSED);
    // Our own close of channel 0 ends it on both sides; the link stays.
    primary.closeChannel(0);
    for (int i = 0; i < 50 && secondary.state() != secondary::SEC_LINKED; ++i) {
        round();
    }
    EXPECT_EQ(secondary.state(), secondary::SEC_LINKED);
    EXPECT_EQ(primary.state(), primary::PRIMARY_CONNECTED);
    expectCreditsKept();
}

TEST_F(MuxTest, ConnectsToServicesNotOfferedEndOnlyThatChannel) {
    ASSERT_EQ(primary.addChannel(nullptr, nullptr, 9, true), 2); // selector 9 is not offered
    ASSERT_EQ(primary.addChannel("Nothing", "Here", -1, true), 3);
    EXPECT_EQ(primary.addChannel(nullptr, nullptr, 9, true), -1); // every lane in use
    for (int i = 0; i < 400 && (atPrimary().extra(2).state() == CHANNEL_CONNECTING ||
                                atPrimary().extra(3).state() == CHANNEL_CONNECTING);
         ++i) {
        round();
    }
    EXPECT_EQ(atPrimary().extra(2).endReason(), CHANNEL_END_REFUSED);
    EXPECT_EQ(atPrimary().extra(3).endReason(), CHANNEL_END_NO_SERVICE);
    EXPECT_EQ(atPrimary().extra(1).state(), CHANNEL_OPEN);
    EXPECT_EQ(atPrimary().phase(), LINK_OPEN);
    EXPECT_EQ(secondary.state(), secondary::SEC_IRCOMM_OPEN);
}

} // namespace
