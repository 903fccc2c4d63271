#include "lap.h"
#include "secondary_fixture.h"
#include "secondary_station.h"

using namespace secondary;

namespace {

const Bytes& XID_RESPONSE = wire::XID_RESPONSE;

using SecondaryEngine = SecondaryTest;

TEST_F(SecondaryEngine, FirstStepAfterStartUpPrintsStateZero) {
    station.init();
    steps(1);
    EXPECT_EQ(console.take(), "\nsecondary_demo state:\t0");
    steps(3);
    EXPECT_EQ(console.take(), "") << "printed only when it changes";
}

TEST_F(SecondaryEngine, BroadcastXidInSlotZeroIsAnswered) {
    EXPECT_EQ(deliver(xidCommand(0)), Frames{XID_RESPONSE});
    EXPECT_EQ(station.state(), SEC_DISCOVERED);
    EXPECT_NE(console.take().find("\nIrLAP addr:\t34-12-CD-AB"), std::string::npos);
    steps(1);
    EXPECT_EQ(console.take(), "\nsecondary_demo state:\t1");
}

TEST_F(SecondaryEngine, XidEchoesTheDiscoveryFlags) {
    Bytes expected = XID_RESPONSE;
    expected[11] = 0x02;
    EXPECT_EQ(deliver(xidCommand(0, {0xFF, 0xFF, 0xFF, 0xFF}, 0x02)), Frames{expected});
}

TEST_F(SecondaryEngine, XidInOtherSlotsOrToOneDeviceIsIgnored) {
    EXPECT_TRUE(deliver(xidCommand(1)).empty());
    EXPECT_TRUE(deliver(xidCommand(0xFF)).empty());
    EXPECT_TRUE(deliver(xidCommand(0, {0xAB, 0xCD, 0x12, 0x34})).empty());
    Bytes shortXid = xidCommand(0);
    shortXid.resize(12); // no slot byte inside the frame
    EXPECT_TRUE(deliver(shortXid).empty());
    EXPECT_EQ(station.state(), SEC_IDLE);
}

TEST_F(SecondaryEngine, SnrmForUsIsAnsweredFromTheNewConnectionAddress) {
    EXPECT_EQ(deliver(snrm(0x07)), Frames{wire::uaParams(0x06)});
    EXPECT_EQ(station.state(), SEC_LINKED);
    EXPECT_NE(console.take().find("\nIrLAP addr:\t0x03\nIrLAP baud:\t0x02 -> 9600"),
              std::string::npos);
    EXPECT_EQ(deliver(rrCommand(0, 0x07)), (Frames{{0x06, 0x11}}));
    EXPECT_TRUE(deliver(rrCommand(0, 0x03)).empty()) << "old address no longer ours";
}

TEST_F(SecondaryEngine, SnrmOfferingAHigherRateOnlyPrintsIt) {
    EXPECT_EQ(deliver(snrm(0x02, 0x3E)), Frames{wire::uaParams(0x02)});
    EXPECT_NE(console.take().find("\nIrLAP baud:\t0x3E -> 115200"), std::string::npos);
}

TEST_F(SecondaryEngine, SnrmForAnotherDeviceChangesNothing) {
    deliver(xidCommand(0));
    EXPECT_TRUE(deliver(snrm(0x04, 0x02, {0xAB, 0xCD, 0x12, 0x35})).empty());
    EXPECT_EQ(station.state(), SEC_DISCOVERED);
    EXPECT_EQ(record().connectionAddress, 0x02);
}

TEST_F(SecondaryEngine, SnrmStartsSequenceNumbersAfresh) {
    deliver(snrm());
    deliver(iCommand(0, 0, {0x80, 0x02, 0x01, 0x00}));
    deliver(iCommand(1, 1, {0x80, 0x02, 0x01, 0x00}));
    ASSERT_EQ(record().vr, 2);
    deliver(snrm()); // reconnect without DISC
    EXPECT_EQ(record().vr, 0);
    EXPECT_EQ(record().vs, 0);
    EXPECT_EQ(deliver(iCommand(0, 0, {0x80, 0x02, 0x01, 0x00})),
              Frames{iResponse(1, 0, {0x82, 0x00, 0x81, 0x00})});
}

TEST_F(SecondaryEngine, DiscIsAnsweredWithUaAndResetsTheLink) {
    deliver(snrm(0x07));
    deliver(iCommand(0, 3, {0x80, 0x02, 0x01, 0x00}, 0x07));
    EXPECT_EQ(deliver({0x07, 0x53}), (Frames{{0x06, 0x73}}));
    EXPECT_EQ(station.state(), SEC_IDLE);
    EXPECT_EQ(record().connectionAddress, 0x02);
    EXPECT_EQ(record().vr, 0);
    EXPECT_EQ(record().vs, 0);
    EXPECT_EQ(deliver(rrCommand(0, 0x03)), Frames{rrResponse(0)});
}

TEST_F(SecondaryEngine, DiscForAnotherConnectionIsIgnored) {
    deliver(snrm());
    EXPECT_TRUE(deliver({0x05, 0x53}).empty());
    EXPECT_EQ(station.state(), SEC_LINKED);
}

TEST_F(SecondaryEngine, RrIsAnsweredWithOurVrAndTakesItsNr) {
    deliver(snrm());
    deliver(iCommand(0, 0, {0x80, 0x02, 0x01, 0x00}));
    EXPECT_EQ(deliver(rrCommand(5)), Frames{rrResponse(1)});
    EXPECT_EQ(record().vs, 5);
    EXPECT_TRUE(deliver(rrCommand(0, 0x05)).empty()) << "another connection address";
}

TEST_F(SecondaryEngine, OtherSupervisoryAndUnnumberedFramesGetNoReply) {
    deliver(snrm());
    const Frames ignored[] = {
        deliver({0x03, 0x15}),                                                 // RNR
        deliver({0x03, 0x19}),                                                 // REJ
        deliver({0x03, 0x1D}),                                                 // SREJ
        deliver({0x03, 0x73}),                                                 // UA
        deliver({0x03, 0x1F}),                                                 // DM
        deliver({0x03, 0x97}),                                                 // FRMR
        deliver({0x03, 0x13}),                                                 // UI
        deliver({0xFF, 0xF3, 0x34, 0x12, 0xCD, 0xAB, 0xAB, 0xCD, 0x12, 0x34}), // TEST
        deliver(XID_RESPONSE),
        deliver({0x03}), // no control byte
    };
    for (const Frames& replies : ignored) {
        EXPECT_TRUE(replies.empty());
    }
    EXPECT_EQ(station.state(), SEC_LINKED);
}

TEST_F(SecondaryEngine, RepeatedIFrameGetsTheReplyAgainOtherOutOfSequenceNone) {
    deliver(snrm());
    const Bytes connect = iCommand(0, 0, {0x80, 0x02, 0x01, 0x00});
    const Frames confirm = deliver(connect);
    EXPECT_EQ(deliver(connect), confirm) << "our reply was lost";
    EXPECT_EQ(deliver(rrCommand(1)), Frames{rrResponse(1)});
    EXPECT_EQ(deliver(connect), Frames{rrResponse(1)}) << "the confirm was acknowledged since";
    EXPECT_TRUE(deliver(iCommand(3, 0, {0x80, 0x02, 0x01, 0x00})).empty());
    EXPECT_EQ(record().vr, 1);
    EXPECT_TRUE(deliver(iCommand(1, 0, {0x80, 0x02, 0x01, 0x00}, 0x05)).empty())
        << "another connection address";
}

TEST_F(SecondaryEngine, RrWithQueuedBytesSendsDataOnlyOnceTheChannelIsOpen) {
    deliver(snrm());
    deliver(rrCommand(0));
    deliver(iCommand(0, 0, {0x84, 0x02, 0x01, 0x00, 0x01}));
    ASSERT_EQ(station.state(), SEC_TTP_CONNECTED);
    queueText("AT");
    EXPECT_EQ(deliver(rrCommand(1)), Frames{rrResponse(1)});
    openChannel(); // from the start, so the queue is cleared at open
    queueText("AT");
    EXPECT_EQ(deliver(rrCommand(3)), Frames{iResponse(2, 3, {0x02, 0x04, 0x01, 0x00, 'A', 'T'})});
}

TEST_F(SecondaryEngine, SilenceAfterAReadFallsBackAtTheFiftiethStep) {
    deliver(snrm());
    console.take();
    steps(1); // prints state 2: counting starts again at 1
    EXPECT_EQ(console.take(), "\nsecondary_demo state:\t2");
    steps(48);
    EXPECT_EQ(station.state(), SEC_LINKED);
    steps(1); // the 49th step after the one that printed
    EXPECT_EQ(station.state(), SEC_IDLE);
    EXPECT_EQ(console.take(), "");
    steps(1);
    EXPECT_EQ(console.take(), "\nsecondary_demo state:\t0");
}

TEST_F(SecondaryEngine, FallbackCountsFromTheReadWhenTheStateStays) {
    deliver(snrm());
    steps(1);
    deliver(rrCommand(0)); // read at step n: counter 0
    steps(49);
    EXPECT_EQ(station.state(), SEC_LINKED);
    steps(1); // 50th step after the read
    EXPECT_EQ(station.state(), SEC_IDLE);
    console.take();
    steps(1);
    EXPECT_EQ(console.take(), "\nsecondary_demo state:\t0");
    steps(120);
    EXPECT_EQ(console.take(), "") << "silence in state 0 prints nothing";
}

TEST_F(SecondaryEngine, SilentLinkIsStillReadEveryHundredFirstStep) {
    link.waits.clear();
    int stepsTaken = 0;
    while (link.waits.empty() || link.waits.back() != 500) {
        station.step();
        ASSERT_LT(++stepsTaken, 200);
    }
    EXPECT_EQ(stepsTaken, 100) << "the set-up step was the first";
}

} // namespace
