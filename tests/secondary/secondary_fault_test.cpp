// The full-profile secondary under faults, on a simulated clock: a dead peer behind stray bytes, a
// live one behind the same bytes, an Nr for frames never sent, a refused speed and a port lost in
// the middle of a frame. One harness plays the peer and the task's rhythm for every case. And a
// link ended on request.
#include <functional>
#include <string>

#include "secondary_fixture.h"

using namespace secondary;

namespace {

constexpr uint32_t TICK_MS = 10;
constexpr uint32_t RUN_MS = 6000;
constexpr uint8_t STRAY = 0x55; // neither BOF, EOF nor XBOF
constexpr uint8_t ALL_SPEEDS = 0x3E;

struct Scenario {
    MemoryPort port;
    SecondaryStation station{port};
    uint32_t lastStepMs = 0;
    uint32_t idleAtMs = 0;
    size_t replies = 0;

    // One tick of the task as it runs frame-paced: it steps when a byte comes or its 50 ms wait
    // ends, and reads at once after a step that saw a frame begin.
    void tick() {
        port.clockMs += TICK_MS;
        if (!port.line.incoming.empty() || port.clockMs - lastStepMs >= STACK_TASK_PERIOD_MS) {
            station.step();
            if (station.byteSeen()) {
                station.step();
            }
            lastStepMs = port.clockMs;
        }
        replies += port.line.takeSentFrames().size();
        if (idleAtMs == 0 && station.state() == SEC_IDLE) {
            idleAtMs = port.clockMs;
        }
    }
    bool every(uint32_t periodMs) const { return port.clockMs % periodMs == 0; }
};

struct FaultCase {
    const char* name;
    IrErr speedError;
    // What reaches the station after the SNRM, called every tick.
    std::function<void(Scenario&)> peer;
    SecondaryState endState;
    IrErr error;
    const char* message; // part of what the user is shown; "" for nothing
    bool answers;        // the station replied after its UA
    // The primary's first poll at the new speed arrives: the UA was not lost.
    bool firstPoll = true;
};

void strays(Scenario& s) {
    if (s.every(40)) {
        s.port.line.feed({STRAY});
    }
}

const FaultCase CASES[] = {
    {"dead peer behind stray bytes", IR_OK, strays, SEC_IDLE, IR_ERR_TIMEOUT, "", false},
    {"live peer behind stray bytes", IR_OK,
     [](Scenario& s) {
         strays(s);
         if (s.every(100)) {
             s.port.line.feedFrame(rrCommand(0));
         }
     },
     SEC_LINKED, IR_OK, "", true},
    {"Nr of frames never sent", IR_OK,
     [](Scenario& s) {
         if (s.every(100) && s.port.clockMs <= 300) {
             s.port.line.feedFrame(rrCommand(5));
         }
     },
     SEC_IDLE, IR_ERR_PEER, "link dropped", false},
    {"speed refused", IR_ERR_SPEED, [](Scenario&) {}, SEC_IDLE, IR_ERR_SPEED,
     "speed switch to 115200 failed: speed not taken", false},
    {"port lost mid-frame", IR_OK,
     [](Scenario& s) {
         if (s.port.clockMs == 100) {
             const Bytes wire = sirWrap(rrCommand(0));
             s.port.line.feed(Bytes(wire.begin(), wire.begin() + 12)); // BOF and the address
             s.port.line.failure = IR_ERR_PORT_LOST;
         }
     },
     SEC_IDLE, IR_ERR_PORT_LOST, "", false},
    // The primary never heard the UA and repeats its SNRM at 9600 bit/s: no peer went silent.
    {"UA lost", IR_OK, strays, SEC_IDLE, IR_OK, "", false, false},
};

TEST(SecondaryFaults, EachFaultEndsAsItShouldAndOnlyValidFramesHoldTheLink) {
    ConsoleCapture console;
    for (const FaultCase& fault : CASES) {
        SCOPED_TRACE(fault.name);
        Scenario s;
        s.station.setOffer(lapFullOffer(ALL_SPEEDS));
        s.station.init();
        s.port.speedError = fault.speedError;
        s.port.line.feedFrame(snrm(0x02, ALL_SPEEDS));
        s.tick();
        ASSERT_EQ(s.replies, 1U) << "the UA";
        const bool switched = fault.speedError == IR_OK;
        if (switched && fault.firstPoll) {
            s.port.line.feedFrame(rrCommand(0));
            s.tick();
        }
        const uint32_t lastValidMs = s.port.clockMs;
        EXPECT_EQ(s.port.speeds,
                  switched ? std::vector<uint32_t>{115200} : std::vector<uint32_t>{});
        s.replies = 0;
        while (s.port.clockMs < RUN_MS) {
            fault.peer(s);
            s.tick();
        }
        EXPECT_EQ(s.station.state(), fault.endState);
        EXPECT_EQ(s.station.lastError(), fault.error);
        EXPECT_EQ(s.replies > 0, fault.answers);
        EXPECT_NE(console.take().find(fault.message), std::string::npos);
        if (fault.endState == SEC_IDLE) {
            EXPECT_EQ(s.station.speed(), 9600U) << "back at 9600 bit/s";
        }
        if (fault.endState == SEC_IDLE && switched && fault.error != IR_ERR_PEER) {
            // Silence, noise and a broken frame alike: at most one hunt of noise past the give-up,
            // which comes sooner while the link's first frame is awaited.
            const uint32_t giveUpMs =
                fault.firstPoll ? SECONDARY_GIVE_UP_MS : SECONDARY_FIRST_FRAME_MS;
            EXPECT_GE(s.idleAtMs - lastValidMs, giveUpMs);
            EXPECT_LE(s.idleAtMs - lastValidMs, giveUpMs + SIR_HUNT_WAIT_MS);
        }
    }
}

// Asked to end the link, the station answers the next poll with an RD and ends at the DISC; after
// it, discovery is answered only once a listener asks again.
TEST(SecondaryLinkEnd, AsksWithRdEndsAtTheDiscAndStaysQuietUntilAsked) {
    ConsoleCapture console;
    Scenario s;
    s.station.setOffer(lapFullOffer(ALL_SPEEDS));
    s.station.init();
    const auto answer = [&s](const Bytes& frame) {
        s.port.line.feedFrame(frame);
        s.port.clockMs += TICK_MS;
        s.station.step();
        s.station.step();
        return s.port.line.takeSentFrames();
    };
    s.station.setQuietAfterLink(true);
    EXPECT_EQ(answer(xidCommand(0)).size(), 1U);
    ASSERT_EQ(answer(snrm(0x02, ALL_SPEEDS)).size(), 1U) << "the UA";
    s.station.requestLinkEnd();
    EXPECT_EQ(answer(rrCommand(0)), std::vector<Bytes>{Bytes({0x02, 0x53})});
    EXPECT_EQ(answer(Bytes{0x03, 0x53}), std::vector<Bytes>{Bytes({0x02, 0x73})});
    EXPECT_EQ(s.station.state(), SEC_IDLE);
    EXPECT_EQ(s.station.lastError(), IR_OK);
    EXPECT_TRUE(answer(xidCommand(0)).empty()) << "quiet after the link";
    s.station.setListening(true);
    EXPECT_EQ(answer(xidCommand(0)).size(), 1U);
}

} // namespace
