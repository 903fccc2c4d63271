#include "primary_fixture.h"

using namespace primary;

namespace {

Bytes dataCommand(uint8_t control, const std::string& text) {
    Bytes frame = {0x03, control, 0x04, 0x02, 0x01, 0x00};
    frame.insert(frame.end(), text.begin(), text.end());
    return frame;
}

Bytes iasAnswerWith(const Bytes& answer) {
    Bytes frame = {0x02, 0x52, 0x02, 0x00, 0x84};
    frame.insert(frame.end(), answer.begin(), answer.end());
    return frame;
}

class PrimaryIasTest : public PrimaryEngineTest, public ::testing::WithParamInterface<Bytes> {};

TEST_P(PrimaryIasTest, AnswerWithoutUsableLsapIsNotAccepted) {
    connectTo(PRIMARY_IAS_QUERY);
    EXPECT_TRUE(answer(iasAnswerWith(GetParam())).empty());
    EXPECT_EQ(station.state(), PRIMARY_IAS_QUERY);
    EXPECT_EQ(console.take().find("dlsap"), std::string::npos);
    EXPECT_TRUE(steps(8).empty());
    EXPECT_EQ(step(), std::vector<Bytes>{expect::iasQuery});
}

INSTANTIATE_TEST_SUITE_P(
    Rejected, PrimaryIasTest,
    ::testing::Values(Bytes{0x01}, // no such class
                      Bytes{0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0x00, 0x01, 0x00, 0x04}, // > 0xFFFF
                      Bytes{0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00},       // short
                      Bytes{0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x04}, // empty
                      Bytes{0x00, 0x00, 0x01, 0x00, 0x01, 0x02, 0x00, 0x02, 0x41, 0x42})); // octets

TEST_F(PrimaryEngineTest, IasAnswerSetsTheLsapOfTheTinyTpConnect) {
    connectTo(PRIMARY_IAS_QUERY);
    answer(iasAnswerWith({0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x07}));
    EXPECT_NE(console.take().find("\nIrLMP dlsap:\t263"), std::string::npos);
    EXPECT_EQ(station.peerLsap(), 0x07);
    const std::vector<Bytes> sent = answer(peer::rr(3));
    ASSERT_EQ(sent.size(), 1U);
    EXPECT_EQ(sent[0][2], 0x87);
}

TEST_F(PrimaryEngineTest, CommOpenPrintsLengthsDropsTheDataAndClearsBothQueues) {
    connectTo(PRIMARY_COMM_OPEN);
    EXPECT_EQ(isConnecting(), 1);
    EXPECT_EQ(isConnected(), 0);
    send("AT\r");
    link().feedFrame(peer::commData(5, 3, {0x20, 0x01, 0x0C}, "xy"));
    step();
    const uint8_t z = 'z';
    station.connection().deliver(&z, 1);
    EXPECT_EQ(step(), (std::vector<Bytes>{Bytes{0x03, 0x91}}));
    EXPECT_NE(console.take().find("\nIrCOMM length:\t3:2"), std::string::npos);
    EXPECT_EQ(isConnected(), 1);
    EXPECT_EQ(isConnecting(), 0);
    EXPECT_EQ(isIdle(), 0);
    EXPECT_EQ(queued(), 0);
    EXPECT_TRUE(received().empty());
}

TEST_F(PrimaryEngineTest, ControlLengthBeyondTheFrameIsNotAnIrcommFrame) {
    connectTo(PRIMARY_COMM_OPEN);
    const Bytes bad = {0x02, 0xB6, 0x02, 0x04, 0x01, 0x04, 0x20, 0x01, 0x0C};
    EXPECT_TRUE(answer(bad).empty());
    EXPECT_EQ(station.state(), PRIMARY_COMM_OPEN);
}

TEST_F(PrimaryEngineTest, ConnectedDeliversUserDataBehindControlParameters) {
    connectTo(PRIMARY_CONNECTED);
    EXPECT_EQ(answer(peer::commData(4, 4, {0x20, 0x01, 0x0C}, "OK")),
              (std::vector<Bytes>{Bytes{0x03, 0xB1}}));
    EXPECT_NE(console.take().find("\nIrCOMM length:\t3:2"), std::string::npos);
    EXPECT_EQ(station.stepCount(), 0);
    EXPECT_EQ(received(), (Bytes{'O', 'K'}));
    EXPECT_TRUE(received().empty());
}

TEST_F(PrimaryEngineTest, RepeatedDataFrameAnswersThePollButIsDeliveredOnce) {
    connectTo(PRIMARY_CONNECTED);
    const Bytes frame = peer::commData(5, 4, {}, "\r\nOK\r\n");
    EXPECT_EQ(answer(frame), (std::vector<Bytes>{Bytes{0x03, 0xB1}}));
    EXPECT_EQ(answer(frame), (std::vector<Bytes>{Bytes{0x03, 0xB1}}));
    EXPECT_EQ(station.stepCount(), 0);
    EXPECT_EQ(station.record().vr, 5);
    const Bytes got = received();
    EXPECT_EQ(std::string(got.begin(), got.end()), "\r\nOK\r\n");
}

TEST_F(PrimaryEngineTest, CreditOnlyFrameIsAcceptedAndAnswered) {
    connectTo(PRIMARY_CONNECTED);
    EXPECT_EQ(answer(peer::commData(4, 4, {}, "")), (std::vector<Bytes>{Bytes{0x03, 0xB1}}));
    EXPECT_NE(console.take().find("\nIrCOMM length:\t0:0"), std::string::npos);
}

TEST_F(PrimaryEngineTest, DataThatDoesNotFitIsRefusedUntilTheApplicationReads) {
    connectTo(PRIMARY_CONNECTED);
    const std::string a(30, 'a');
    const std::string b(30, 'b');
    const std::string c(30, 'c');
    answer(peer::commData(5, 4, {}, a));
    answer(peer::commData(5, 5, {}, b));
    const Bytes third = peer::commData(5, 6, {}, c);
    EXPECT_EQ(answer(third), (std::vector<Bytes>{Bytes{0x03, 0xD1}})) << "Nr stays at 6";
    Bytes got = received();
    EXPECT_EQ(std::string(got.begin(), got.end()), a + b);
    EXPECT_EQ(answer(third), (std::vector<Bytes>{Bytes{0x03, 0xF1}}));
    got = received();
    EXPECT_EQ(std::string(got.begin(), got.end()), c);
}

TEST_F(PrimaryEngineTest, QueuedTextGoesOutInOneDataFrame) {
    connectTo(PRIMARY_CONNECTED);
    send("AT+CSQ\r");
    EXPECT_EQ(answer(peer::rr(5)), std::vector<Bytes>{dataCommand(0x9A, "AT+CSQ\r")});
    EXPECT_EQ((queued() == 0 ? 1 : 0), 1);
    // Not acknowledged: the frame goes again, and new data waits for its own Ns.
    EXPECT_EQ(answer(peer::rr(5)), std::vector<Bytes>{dataCommand(0x9A, "AT+CSQ\r")});
    EXPECT_EQ(answer(peer::rr(6)), (std::vector<Bytes>{Bytes{0x03, 0x91}}));
    send("AT\r");
    EXPECT_EQ(answer(peer::rr(6)), std::vector<Bytes>{dataCommand(0x9C, "AT\r")});
}

TEST_F(PrimaryEngineTest, OneDataFrameOfAtMost32BytesPerAnswer) {
    connectTo(PRIMARY_CONNECTED);
    const std::string first(31, 'x');
    send(first);
    EXPECT_EQ(queued(), 31);
    const std::vector<Bytes> sent = answer(peer::rr(5));
    EXPECT_EQ(sent, std::vector<Bytes>{dataCommand(0x9A, first)});
    EXPECT_EQ(station.connection().unacknowledged(), 31);
    send(std::string(20, 'y'));
    EXPECT_EQ(answer(peer::rr(6)), std::vector<Bytes>{dataCommand(0x9C, std::string(20, 'y'))});
}

TEST_F(PrimaryEngineTest, SendWhenNotConnectedKeepsWhatFitsAndReturns) {
    EXPECT_EQ(isIdle(), 1);
    EXPECT_EQ(isConnecting(), 0);
    EXPECT_EQ(isConnected(), 0);
    send("");
    EXPECT_EQ(queued(), 0);
    send(std::string(41, 'q'));
    EXPECT_EQ(queued(), 31);
}

} // namespace
