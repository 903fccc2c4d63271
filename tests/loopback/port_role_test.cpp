// One port object through both roles on the simulated clock, against a peer that is a computer,
// then a device, then a computer again: a device link carries data and ends, the same port
// connects out as the computer, and is a device again once that link has ended. One frame the
// port sends is lost at a few positions; each run must still move every byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "console_capture.h"
#include "irport.h"
#include "memory_port.h"
#include "primary_station.h"
#include "secondary_station.h"

namespace {

constexpr uint32_t ROUND_MS = 5;
constexpr int MAX_ROUNDS = 20000;
constexpr size_t TEXT = 3000;
const char* const ECHO = "Echo";
const char* const SINK = "Sink";
const char* const LSAP_ATTRIBUTE = "TinyTP:LsapSel";

class PortRoles {
  public:
    explicit PortRoles(int lost) : lostFrame(lost) {
        port.seedRandom(7);
        peerComputer.setOffer(lapFullOffer(0x3E, 7, 2048));
        peerComputer.setRandomDiscovery(true);
        peerComputer.seedRandom(11);
        peerComputer.setQuietAfterLink(true);
        peerDevice.setOffer(lapFullOffer(0x3E, 7, 2048));
        peerDevice.setRandomDiscovery(true);
        peerDevice.seedRandom(13);
        peerDevice.setDemoAnswers(false);
    }

    // One round: the port, the wire, the peer, the wire, then the port's changes.
    void round() {
        clock += ROUND_MS;
        ownLine.clockMs = clock;
        peerLine.clockMs = clock;
        port.step();
        carry(ownLine.line, peerLine.line, true);
        peerIsComputer ? peerComputer.step() : peerDevice.step();
        carry(peerLine.line, ownLine.line, false);
        port.update();
        IrPortEvent event;
        while (port.takeEvent(event)) {
            seen.push_back(event);
        }
    }

    bool runUntil(const std::function<bool()>& done) {
        for (int i = 0; i < MAX_ROUNDS; ++i) {
            if (done()) {
                return true;
            }
            round();
        }
        return done();
    }

    // The DONE of `tag`, once it came.
    const IrPortEvent* done(uint32_t tag) const {
        for (const IrPortEvent& event : seen) {
            if (event.kind == IRPORT_DONE && event.tag == tag) {
                return &event;
            }
        }
        return nullptr;
    }

    const IrPortEvent& await(uint32_t tag) {
        EXPECT_TRUE(runUntil([&] { return done(tag) != nullptr; })) << "request " << tag;
        static const IrPortEvent none{IRPORT_DONE, 0, IRPORT_ERR_TIMEOUT, -1, 0};
        return done(tag) != nullptr ? *done(tag) : none;
    }

    // TEXT bytes each way between the port's `channel` and the peer's first channel.
    void exchange(int channel, LapConnection& peer, char tag) {
        std::string out(TEXT, tag);
        std::string back(TEXT, static_cast<char>(tag + 1));
        for (size_t i = 0; i < TEXT; ++i) {
            out[i] = static_cast<char>(tag + static_cast<char>(i % 23));
        }
        size_t sent = 0;
        size_t returned = 0;
        std::string atPeer;
        std::string atPort;
        std::array<uint8_t, 512> buffer{};
        runUntil([&] {
            sent += port.write(channel, reinterpret_cast<const uint8_t*>(&out[sent]), TEXT - sent);
            // Bytes queued before the peer's channel shows open would be emptied by its opening.
            const int room = peer.phase() == LINK_OPEN ? peer.room() : 0;
            const size_t piece = std::min<size_t>(TEXT - returned, std::max(room, 0));
            returned += peer.send(reinterpret_cast<const uint8_t*>(&back[returned]), piece);
            size_t got = peer.receive(buffer.data(), buffer.size());
            atPeer.append(buffer.begin(), buffer.begin() + static_cast<long>(got));
            got = port.read(channel, buffer.data(), buffer.size());
            atPort.append(buffer.begin(), buffer.begin() + static_cast<long>(got));
            return atPeer.size() == TEXT && atPort.size() == TEXT;
        });
        EXPECT_TRUE(atPeer == out) << "to the peer, " << atPeer.size() << " bytes";
        EXPECT_TRUE(atPort == back) << "to the port, " << atPort.size() << " bytes";
    }

    ConsoleCapture console;
    MemoryPort ownLine;
    MemoryPort peerLine;
    IrPort port{ownLine, 0x3E, false};
    primary::PrimaryStation peerComputer{peerLine};
    secondary::SecondaryStation peerDevice{peerLine};
    bool peerIsComputer = true;
    std::vector<IrPortEvent> seen;

  private:
    void carry(MemoryLink& from, MemoryLink& to, bool ours) {
        for (const uint8_t byte : from.sent) {
            frame.push_back(byte);
            if (byte == SIR_EOF) {
                if (!ours || framesSent++ != lostFrame) {
                    to.incoming.insert(to.incoming.end(), frame.begin(), frame.end());
                }
                frame.clear();
            }
        }
        from.sent.clear();
    }

    uint32_t clock = 0;
    int lostFrame;
    int framesSent = 0;
    std::vector<uint8_t> frame;
};

void runScenario(int lost) {
    SCOPED_TRACE("frame lost: " + std::to_string(lost));
    PortRoles t(lost);
    ASSERT_TRUE(t.port.start());
    const int echo = t.port.offer(ECHO, LSAP_ATTRIBUTE, true);
    ASSERT_GE(echo, 0);
    EXPECT_EQ(t.port.offer(ECHO, LSAP_ATTRIBUTE, true), IRPORT_ERR_STATE) << "offered twice";

    // A device: the peer computer connects to the service offered.
    ASSERT_EQ(t.port.listen(1, echo, -1), IRPORT_OK);
    ASSERT_EQ(t.peerComputer.setService(ECHO, LSAP_ATTRIBUTE, -1, true), IR_OK);
    t.peerComputer.init();
    const IrPortEvent& accepted = t.await(1);
    ASSERT_EQ(accepted.status, IRPORT_OK);
    EXPECT_EQ(t.port.status().role, IRPORT_DEVICE);
    EXPECT_EQ(t.port.connect(9, SINK, LSAP_ATTRIBUTE, -1, true, -1), IRPORT_ERR_STATE)
        << "linked as a device";
    EXPECT_EQ(t.port.discover(9, 1000), IRPORT_ERR_STATE);
    t.exchange(accepted.channel, t.peerComputer.connection(), 'a');
    ASSERT_EQ(t.port.close(2, accepted.channel, 5000), IRPORT_OK);
    EXPECT_EQ(t.await(2).status, IRPORT_OK);
    ASSERT_TRUE(t.runUntil([&] { return t.peerComputer.halted(); })) << "the link ends";
    ASSERT_TRUE(t.runUntil([&] { return t.port.status().phase == IRPORT_PHASE_IDLE; }));

    // The same port connects out: the computer for this link.
    t.peerIsComputer = false;
    ASSERT_EQ(t.peerDevice.setService(SINK, LSAP_ATTRIBUTE, true), IR_OK);
    t.peerDevice.init();
    ASSERT_EQ(t.port.connect(3, SINK, LSAP_ATTRIBUTE, -1, true, 60000), IRPORT_OK);
    EXPECT_EQ(t.port.status().role, IRPORT_COMPUTER);
    EXPECT_EQ(t.port.connect(9, SINK, LSAP_ATTRIBUTE, -1, true, -1), IRPORT_ERR_STATE)
        << "while the link is being set up";
    const IrPortEvent& connected = t.await(3);
    ASSERT_EQ(connected.status, IRPORT_OK);
    t.exchange(connected.channel, t.peerDevice.connection(), 'k');
    ASSERT_EQ(t.port.close(4, connected.channel, 5000), IRPORT_OK);
    EXPECT_EQ(t.await(4).status, IRPORT_OK);
    ASSERT_TRUE(t.runUntil([&] { return t.port.status().role == IRPORT_DEVICE; }))
        << "a device again once the link ended";

    // And a device it is: the peer computer connects in again.
    t.peerIsComputer = true;
    ASSERT_EQ(t.port.listen(5, echo, -1), IRPORT_OK);
    t.peerComputer.init();
    const IrPortEvent& again = t.await(5);
    ASSERT_EQ(again.status, IRPORT_OK);
    t.exchange(again.channel, t.peerComputer.connection(), 'u');
    EXPECT_EQ(t.port.status().role, IRPORT_DEVICE);
    EXPECT_FALSE(t.done(9)) << "a refused request never completes";
}

TEST(PortRoles, DeviceThenComputerThenDeviceWithAFrameLost) {
    for (const int lost : {-1, 1, 5, 12, 25, 40, 55}) {
        runScenario(lost);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
}

// Bytes of a device link the port had not read when the link ended stay readable, though a
// service offered just after asks the device engine to restart, which empties its queues.
TEST(PortRoles, UnreadBytesOutliveTheLinkAndAServiceChange) {
    constexpr size_t UNREAD = 1000;
    PortRoles t(-1);
    ASSERT_TRUE(t.port.start());
    const int echo = t.port.offer(ECHO, LSAP_ATTRIBUTE, true);
    ASSERT_EQ(t.port.listen(1, echo, -1), IRPORT_OK);
    ASSERT_EQ(t.peerComputer.setService(ECHO, LSAP_ATTRIBUTE, -1, true), IR_OK);
    t.peerComputer.init();
    const IrPortEvent accepted = t.await(1);
    ASSERT_EQ(accepted.status, IRPORT_OK);
    const std::string text(UNREAD, 'z');
    LapConnection& peer = t.peerComputer.connection();
    size_t sent = 0;
    ASSERT_TRUE(t.runUntil([&] {
        const int room = peer.phase() == LINK_OPEN ? peer.room() : 0;
        const size_t piece = std::min<size_t>(UNREAD - sent, std::max(room, 0));
        sent += peer.send(reinterpret_cast<const uint8_t*>(&text[sent]), piece);
        return t.port.available(accepted.channel) == static_cast<int>(UNREAD);
    })) << t.port.available(accepted.channel)
        << " of " << sent;
    t.peerComputer.requestLinkEnd();
    ASSERT_TRUE(t.runUntil([&] {
        return std::any_of(t.seen.begin(), t.seen.end(), [&](const IrPortEvent& e) {
            return e.kind == IRPORT_CHANNEL_ENDED && e.channel == accepted.channel;
        });
    }));
    EXPECT_EQ(t.port.status().phase, IRPORT_PHASE_IDLE) << "the link ended, nobody listens";
    const int sink = t.port.offer(SINK, LSAP_ATTRIBUTE, true);
    ASSERT_GE(sink, 0);
    ASSERT_EQ(t.port.listen(2, sink, -1), IRPORT_OK);
    for (int i = 0; i < 200; ++i) {
        t.round();
    }
    EXPECT_EQ(t.port.status().phase, IRPORT_PHASE_SEARCHING);
    // New settings neither end the listen nor empty the ended channel's queues.
    EXPECT_EQ(t.port.setIdentity("Later", 0x0404), IRPORT_OK);
    EXPECT_EQ(t.port.setLinkLimits(3, 256), IRPORT_OK);
    EXPECT_EQ(t.port.setLinkLimits(3, 256), IRPORT_OK);
    for (int i = 0; i < 200; ++i) {
        t.round();
    }
    EXPECT_EQ(t.done(2), nullptr);
    std::array<uint8_t, 2 * UNREAD> got{};
    EXPECT_EQ(t.port.read(accepted.channel, got.data(), got.size()), UNREAD);
    EXPECT_EQ(t.port.abort(accepted.channel), IRPORT_OK);
}

// A quiet port answers discovery only once a listen has asked.
TEST(PortRoles, AQuietPortIsSilentUntilItsFirstListen) {
    PortRoles t(-1);
    t.port.setQuiet(true);
    ASSERT_TRUE(t.port.start());
    const int echo = t.port.offer(ECHO, LSAP_ATTRIBUTE, true);
    t.peerComputer.setDiscoverOnly(true);
    t.peerComputer.init();
    for (int i = 0; i < 2000; ++i) {
        t.round();
    }
    EXPECT_EQ(t.peerComputer.answeredRounds(), 0U);
    EXPECT_EQ(t.port.status().phase, IRPORT_PHASE_IDLE);
    ASSERT_EQ(t.port.listen(1, echo, -1), IRPORT_OK);
    EXPECT_TRUE(t.runUntil([&] { return t.peerComputer.answeredRounds() > 0; }));
    EXPECT_EQ(t.port.status().phase, IRPORT_PHASE_SEARCHING);
}

} // namespace
