
#include "primary_fixture.h"

using namespace primary;

namespace {

std::string stateReport(int state) {
    return "\nsecondary_demo state:\t" + std::to_string(state);
}

TEST_F(PrimaryEngineTest, FullConnectionSendsEveryFrameByteForByte) {
    EXPECT_TRUE(steps(19).empty());
    EXPECT_EQ(console.take().substr(0, stateReport(0).size()), stateReport(0));
    EXPECT_EQ(step(), std::vector<Bytes>{expect::firstXid});
    EXPECT_EQ(resets(), 2); // primaryInit and the discovery

    EXPECT_EQ(answer(peer::xidResponse), (std::vector<Bytes>{expect::finalXid, expect::snrm}));
    EXPECT_NE(console.take().find("\nIrLAP addr:\tAB-CD-12-34"), std::string::npos);

    EXPECT_EQ(answer(peer::ua(true, 0x02)), (std::vector<Bytes>{Bytes{0x03, 0x11}}));
    EXPECT_NE(console.take().find("\nIrLAP baud:\t0x02 -> 9600"), std::string::npos);
    EXPECT_EQ(speeds(), std::vector<uint32_t>{9600});

    EXPECT_EQ(answer(peer::rr(0)), std::vector<Bytes>{expect::iasConnect});
    EXPECT_EQ(answer(peer::iasConfirm), std::vector<Bytes>{expect::iasQuery});
    EXPECT_EQ(expect::iasQuery.size(), 57U);
    EXPECT_EQ(answer(peer::iasAnswer), std::vector<Bytes>{expect::iasDisconnect});
    EXPECT_NE(console.take().find("\nIrLMP dlsap:\t4"), std::string::npos);
    EXPECT_EQ(station.peerLsap(), 4);
    EXPECT_EQ(answer(peer::rr(3)), std::vector<Bytes>{expect::commConnect});
    EXPECT_EQ(answer(peer::commConfirm), std::vector<Bytes>{expect::commParams});
    EXPECT_EQ(answer(peer::commOpen), (std::vector<Bytes>{Bytes{0x03, 0x91}}));
    EXPECT_NE(console.take().find("\nIrCOMM length:\t3:0"), std::string::npos);
    EXPECT_EQ(station.state(), PRIMARY_CONNECTED);
    EXPECT_EQ(station.record().vr, 4);
    EXPECT_EQ(station.record().vs, 5);

    EXPECT_EQ(answer(peer::rr(5)), (std::vector<Bytes>{Bytes{0x03, 0x91}}));
    EXPECT_NE(console.take().find(stateReport(9)), std::string::npos);
}

TEST_F(PrimaryEngineTest, DiscoveryRepeatsFourTimesGivesUpAtFiftyAndStartsOverWithPortReset) {
    steps(20);
    ASSERT_EQ(station.state(), PRIMARY_DISCOVERY);
    const std::vector<Bytes> repeats = steps(49);
    EXPECT_EQ(repeats, std::vector<Bytes>(4, expect::firstXid));
    EXPECT_EQ(station.state(), PRIMARY_DISCOVERY);
    EXPECT_TRUE(step().empty()); // step 50
    EXPECT_EQ(station.state(), PRIMARY_START_DELAY);
    console.take();

    EXPECT_TRUE(step().empty());
    EXPECT_EQ(console.take(), stateReport(0));
    EXPECT_TRUE(steps(18).empty());
    EXPECT_EQ(resets(), 2);
    EXPECT_EQ(step(), std::vector<Bytes>{expect::firstXid});
    EXPECT_EQ(resets(), 3);
}

TEST_F(PrimaryEngineTest, ByteSeenOnTheFiftiethStepKeepsTheLink) {
    steps(20);
    steps(49);
    link().feed({0x00}); // noise: a byte, but no frame
    EXPECT_TRUE(step().empty());
    EXPECT_EQ(station.stepCount(), 100);
    EXPECT_EQ(station.state(), PRIMARY_DISCOVERY);
}

struct SpeedCase {
    bool withParams;
    uint8_t value;
    uint32_t speed;
    const char* printed;
};

class PrimarySpeedTest : public PrimaryEngineTest,
                         public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(PrimarySpeedTest, UaChoosesTheSpeedAndSwitchesBeforeTheRrPoll) {
    const SpeedCase& c = GetParam();
    connectTo(PRIMARY_CONNECTING);
    link().feedFrame(peer::ua(c.withParams, c.value));
    step();
    const size_t before = link().sent.size();
    station.step();
    ASSERT_EQ(speeds(), std::vector<uint32_t>{c.speed});
    EXPECT_EQ(sentAtSwitch(), std::vector<size_t>{before});
    EXPECT_EQ(link().takeSentFrames(), (std::vector<Bytes>{Bytes{0x03, 0x11}}));
    EXPECT_NE(console.take().find(c.printed), std::string::npos);
    EXPECT_EQ(station.state(), PRIMARY_LINK_CHECK);
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, PrimarySpeedTest,
    ::testing::Values(SpeedCase{true, 0x3E, 115200, "\nIrLAP baud:\t0x3E -> 115200"},
                      SpeedCase{true, 0x06, 19200, "\nIrLAP baud:\t0x06 -> 19200"},
                      SpeedCase{true, 0x1A, 9600, "\nIrLAP baud:\t0x1A -> 9600"},
                      SpeedCase{false, 0x00, 9600, "\nIrLAP baud:\t0x00 -> 9600"}));

TEST_F(PrimaryEngineTest, LinkCheckRepeatsFreshRrPollsNotTheSnrm) {
    connectTo(PRIMARY_LINK_CHECK);
    EXPECT_EQ(steps(10), (std::vector<Bytes>{Bytes{0x03, 0x11}}));
}

TEST_F(PrimaryEngineTest, RrOfAnotherAddressIsAcceptedInLinkCheckButLeavesVs) {
    connectTo(PRIMARY_LINK_CHECK);
    EXPECT_EQ(answer(Bytes{0x04, 0x31}), std::vector<Bytes>{expect::iasConnect});
    EXPECT_EQ(station.record().vs, 0);
}

TEST_F(PrimaryEngineTest, LinkCheckTakesVsFromASecondaryThatKeptItsSequenceNumbers) {
    connectTo(PRIMARY_LINK_CHECK);
    EXPECT_EQ(answer(peer::rr(3)), (std::vector<Bytes>{Bytes{0x03, 0x16, 0x80, 0x02, 0x01, 0x00}}));
    EXPECT_EQ(station.record().vs, 3);
}

TEST_F(PrimaryEngineTest, RejectedAnswerLetsTheCounterRunOnFrom101) {
    connectTo(PRIMARY_IAS_QUERY);
    Bytes noSuchClass = {0x02, 0x52, 0x02, 0x00, 0x84, 0x01};
    EXPECT_TRUE(answer(noSuchClass).empty());
    EXPECT_EQ(station.stepCount(), 101);
    EXPECT_TRUE(steps(8).empty());
    // The repeat keeps the sequence numbers it was built with.
    EXPECT_EQ(step(), std::vector<Bytes>{expect::iasQuery});
    // Repeats every 10 steps through the wrap; the link is given up 205 steps after the rejection.
    EXPECT_EQ(steps(195).size(), 19U);
    EXPECT_EQ(station.state(), PRIMARY_IAS_QUERY);
    EXPECT_TRUE(step().empty());
    EXPECT_EQ(station.state(), PRIMARY_START_DELAY);
}

TEST_F(PrimaryEngineTest, RrOfTheConnectionEndsTheReadInStopStates) {
    connectTo(PRIMARY_IAS_CONNECT);
    EXPECT_TRUE(answer(peer::rr(1)).empty());
    EXPECT_EQ(station.record().vs, 1);
    EXPECT_EQ(station.state(), PRIMARY_IAS_CONNECT);
    EXPECT_TRUE(steps(8).empty());
    EXPECT_EQ(step(), std::vector<Bytes>{expect::iasConnect});
}

TEST_F(PrimaryEngineTest, CommConnectSendsRrAndRestartsCounterOnRejection) {
    connectTo(PRIMARY_COMM_CONNECT);
    EXPECT_EQ(answer(peer::rr(4)), (std::vector<Bytes>{Bytes{0x03, 0x51}}));
    EXPECT_EQ(station.stepCount(), 0);
    EXPECT_TRUE(steps(9).empty());
    EXPECT_EQ(step(), std::vector<Bytes>{expect::commConnect});
}

TEST_F(PrimaryEngineTest, TestCommandIsAnsweredDuringARead) {
    connectTo(PRIMARY_CONNECTING);
    const Bytes toUs = {0xFF, 0xE3, 0x11, 0x22, 0x33, 0x44, 0x34, 0x12, 0xCD, 0xAB, 0x55};
    const Bytes toAll = {0xFF, 0xE3, 0x11, 0x22, 0x33, 0x44, 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes toOther = {0xFF, 0xE3, 0x11, 0x22, 0x33, 0x44, 0xFF, 0xFF, 0xFF, 0xFE};
    const Bytes response = {0x00, 0xF3, 0x34, 0x12, 0xCD, 0xAB, 0x11, 0x22, 0x33, 0x44};
    const std::vector<Bytes> sent = answer({toUs, toOther, toAll, peer::ua(true, 0x02)});
    EXPECT_EQ(sent, (std::vector<Bytes>{response, response, Bytes{0x03, 0x11}}));
    EXPECT_EQ(station.state(), PRIMARY_LINK_CHECK);
}

TEST_F(PrimaryEngineTest, LosingTheOpenChannelRingsTheBell) {
    connectTo(PRIMARY_CONNECTED);
    steps(50);
    EXPECT_EQ(station.state(), PRIMARY_START_DELAY);
    const std::string out = console.take();
    EXPECT_NE(out.find('\a'), std::string::npos);
}

TEST_F(PrimaryEngineTest, LosingTheLinkElsewherePrintsNoBell) {
    connectTo(PRIMARY_COMM_OPEN);
    steps(50);
    EXPECT_EQ(station.state(), PRIMARY_START_DELAY);
    EXPECT_EQ(console.take().find('\a'), std::string::npos);
}

TEST_F(PrimaryEngineTest, ConnectedRepeatsTheFrameHeldLast) {
    connectTo(PRIMARY_CONNECTED);
    EXPECT_EQ(steps(10), std::vector<Bytes>{expect::commParams});
}

} // namespace
