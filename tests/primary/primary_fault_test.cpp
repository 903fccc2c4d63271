// The full profile on a simulated clock: the give-up and repeats under stray bytes, the failures
// that drop the link (a broken peer, a refused speed, a port lost mid-frame), and a link ended
// with a DISC.
#include <functional>

#include "primary_fixture.h"

using namespace primary;

namespace {

constexpr uint32_t TICK_MS = 40;

class PrimaryFullTest : public PrimaryEngineTest {
  protected:
    void SetUp() override {
        station.setOffer(lapFullOffer(0x3F));
        station.init();
    }

    // One step after `ms` of the simulated clock.
    std::vector<Bytes> stepAfter(uint32_t ms) {
        port.clockMs += ms;
        return step();
    }

    void connectFull(uint8_t state) {
        const std::vector<Bytes> answers = {peer::xidResponse, peer::ua(true, 0x02), peer::rr(0),
                                            peer::iasConfirm,  peer::iasAnswer,      peer::rr(3),
                                            peer::commConfirm, peer::commOpen};
        for (int i = 0; i < 100 && station.state() == PRIMARY_START_DELAY; ++i) {
            stepAfter(TICK_MS);
        }
        for (uint8_t s = 1; s < state; ++s) {
            link().feedFrame(answers[s - 1]);
            stepAfter(1);
            stepAfter(1);
        }
        ASSERT_EQ(station.state(), state);
        stepAfter(1); // the state's first step marks its start
        link().sent.clear();
        console.take();
    }
};

TEST_F(PrimaryFullTest, StrayBytesNeitherHoldTheLinkNorDelayTheRepeats) {
    connectFull(PRIMARY_CONNECTED);
    // The device acknowledged every frame, so what goes again is the last one: the poll (our
    // connection with C/R; RR, Nr 4 after the device's four I-frames, P).
    const Bytes poll{0x03, 0x91};
    const uint32_t lastValid = port.clockMs;
    std::vector<uint32_t> repeatedAt;
    while (station.state() == PRIMARY_CONNECTED && port.clockMs - lastValid < 4000) {
        link().feed({0x55}); // a stray byte, never a frame
        for (const Bytes& frame : stepAfter(TICK_MS)) {
            EXPECT_EQ(frame, poll);
            repeatedAt.push_back(port.clockMs - lastValid);
        }
        for (const Bytes& frame : step()) {
            EXPECT_EQ(frame, poll);
            repeatedAt.push_back(port.clockMs - lastValid);
        }
    }
    const uint32_t gaveUpAfter = port.clockMs - lastValid;
    EXPECT_EQ(station.state(), PRIMARY_START_DELAY);
    EXPECT_EQ(station.lastError(), IR_ERR_TIMEOUT); // kept, so the program can say why
    EXPECT_GE(gaveUpAfter, PRIMARY_GIVE_UP_MS);
    EXPECT_LE(gaveUpAfter, PRIMARY_GIVE_UP_MS + SIR_HUNT_WAIT_MS);
    // One repeat per repeat span of silence, none sooner.
    ASSERT_EQ(repeatedAt.size(), PRIMARY_GIVE_UP_MS / PRIMARY_REPEAT_MS - 1);
    uint32_t previous = 0;
    for (const uint32_t at : repeatedAt) {
        EXPECT_GE(at - previous, PRIMARY_REPEAT_MS);
        EXPECT_LT(at - previous, PRIMARY_REPEAT_MS + 2 * TICK_MS);
        previous = at;
    }
}

TEST_F(PrimaryFullTest, ALiveSecondaryKeepsTheLinkThroughStrayBytes) {
    connectFull(PRIMARY_CONNECTED);
    for (int i = 0; i < 200; ++i) {
        link().feed({0x55});
        stepAfter(TICK_MS);
        link().feedFrame(peer::rr(5));
        stepAfter(1);
        stepAfter(1);
    }
    EXPECT_EQ(station.state(), PRIMARY_CONNECTED);
    EXPECT_EQ(station.lastError(), IR_OK);
}

struct Fault {
    const char* name;
    uint8_t state; // where it strikes
    std::function<void(PrimaryFullTest&)> inject;
    IrErr error;
    const char* message;
};

class PrimaryFaultTest : public PrimaryFullTest, public ::testing::WithParamInterface<Fault> {
  public:
    MemoryPort& memoryPort() { return port; }
};

TEST_P(PrimaryFaultTest, DropsTheLinkShowsWhyAndKeepsQueuedData) {
    const Fault& fault = GetParam();
    connectFull(fault.state);
    send("AT\r");
    GetParam().inject(*this);
    for (int i = 0; i < 8 && station.state() != PRIMARY_START_DELAY; ++i) {
        stepAfter(1);
    }
    EXPECT_EQ(station.state(), PRIMARY_START_DELAY);
    EXPECT_EQ(station.lastError(), fault.error);
    EXPECT_NE(console.take().find(fault.message), std::string::npos);
    if (fault.state == PRIMARY_CONNECTED) {
        // Neither sent nor lost: the three bytes wait, counted once.
        EXPECT_EQ(station.connection().unacknowledged(), 3);
    }
}

void feedInvalidNr(PrimaryFullTest& test) {
    auto& port = static_cast<PrimaryFaultTest&>(test).memoryPort();
    for (uint8_t i = 0; i < LAP_INVALID_NR_LIMIT; ++i) {
        port.line.feedFrame(peer::rr(2)); // vs is 5: Nr 2 acknowledges nothing in flight
    }
}

void refuseSpeed(PrimaryFullTest& test) {
    auto& port = static_cast<PrimaryFaultTest&>(test).memoryPort();
    port.speedError = IR_ERR_SPEED;
    port.line.feedFrame(peer::ua(true, 0x02));
}

void losePortMidFrame(PrimaryFullTest& test) {
    auto& port = static_cast<PrimaryFaultTest&>(test).memoryPort();
    port.line.feed({SIR_XBOF, SIR_BOF, 0x02, 0x11});
    port.line.failure = IR_ERR_PORT_LOST;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PrimaryFaultTest,
    ::testing::Values(Fault{"InvalidNr", PRIMARY_CONNECTED, feedInvalidNr, IR_ERR_PEER,
                            "acknowledges frames never sent"},
                      Fault{"SpeedRefused", PRIMARY_CONNECTING, refuseSpeed, IR_ERR_SPEED,
                            "speed switch to 9600 failed: speed not taken"},
                      Fault{"PortLost", PRIMARY_CONNECTED, losePortMidFrame, IR_ERR_PORT_LOST, ""}),
    [](const ::testing::TestParamInfo<Fault>& param) { return std::string(param.param.name); });

TEST_F(PrimaryFullTest, LinksEndWithADiscAndLeaveTheStationQuiet) {
    station.setQuietAfterLink(true);
    const Bytes disc{0x03, 0x53};
    const auto stepsSend = [this](const Bytes& wanted) {
        for (int i = 0; i < 10; ++i) {
            for (const Bytes& frame : stepAfter(1)) {
                if (frame == wanted) {
                    return true;
                }
            }
        }
        return false;
    };
    // The device asks to end the link (RD): a DISC at once, and its UA ends the link.
    connectFull(PRIMARY_CONNECTED);
    link().feedFrame({0x02, 0x53});
    EXPECT_TRUE(stepsSend(disc));
    link().feedFrame({0x02, 0x73});
    stepAfter(1);
    stepAfter(1);
    EXPECT_TRUE(station.halted());
    EXPECT_EQ(station.state(), PRIMARY_START_DELAY);
    EXPECT_EQ(station.lastError(), IR_OK);
    for (int i = 0; i < 100; ++i) {
        EXPECT_TRUE(stepAfter(TICK_MS).empty()) << "no discovery of its own";
    }
    // Asked by the program: a DISC at the device's next answer, and without a UA the end after a
    // repeat's wait.
    station.init();
    connectFull(PRIMARY_CONNECTED);
    station.requestLinkEnd();
    link().feedFrame(peer::rr(5));
    EXPECT_TRUE(stepsSend(disc));
    EXPECT_FALSE(station.halted());
    for (uint32_t waited = 0; waited <= PRIMARY_REPEAT_MS + TICK_MS && !station.halted();
         waited += TICK_MS) {
        EXPECT_TRUE(stepAfter(TICK_MS).empty()) << "the DISC goes once";
    }
    EXPECT_TRUE(station.halted());
}

TEST_F(PrimaryEngineTest, ServiceNamesLongerThanAQueryAreRefused) {
    const std::string longName(IAS_NAMES_MAX, 'x');
    EXPECT_EQ(station.setService(longName.c_str(), "a", -1, false), IR_ERR_ARG);
    EXPECT_EQ(station.setService(longName.substr(1).c_str(), "a", -1, false), IR_OK);
}

} // namespace
