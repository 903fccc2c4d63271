#include "secondary_fixture.h"
#include "secondary_station.h"

using namespace secondary;

namespace {

const Bytes LINE_SETTINGS = {0x20, 0x01, 0x0C};
const Bytes IAS_LSAP_SEL = {0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x04};
const Bytes IAS_PARAMETERS = {0x00, 0x00, 0x01, 0x00, 0x01, 0x02, 0x00, 0x03, 0x00, 0x01, 0x04};

// An IAS answer from LSAP 0 to the primary's LSAP 2.
Bytes iasAnswer(const Bytes& result) {
    Bytes payload = {0x02, 0x00, 0x84};
    payload.insert(payload.end(), result.begin(), result.end());
    return payload;
}

class SecondaryUpper : public SecondaryTest {
  protected:
    void SetUp() override {
        SecondaryTest::SetUp();
        deliver(snrm());
        console.take();
    }

    // Sends one I-frame in sequence and returns the replies; the next frame acknowledges them.
    Frames send(const Bytes& payload) {
        const Frames replies = deliver(iCommand(ns, nr, payload));
        ns = static_cast<uint8_t>((ns + 1) & 7);
        for (const Bytes& reply : replies) {
            if ((reply[1] & 1) == 0) {
                nr = static_cast<uint8_t>(((reply[1] >> 1) + 1) & 7);
            }
        }
        return replies;
    }
    // Sends one I-frame and expects one I-frame reply carrying `answer`.
    void expectReply(const Bytes& payload, const Bytes& answer) {
        const uint8_t replyNs = nr;
        const Frames replies = send(payload);
        EXPECT_EQ(replies, Frames{iResponse(ns, replyNs, answer)});
    }
    void expectRr(const Bytes& payload) {
        const Frames replies = send(payload);
        EXPECT_EQ(replies, Frames{rrResponse(ns)});
    }
};

TEST_F(SecondaryUpper, LmConnectToAnySelectorIsConfirmed) {
    expectReply({0x85, 0x02, 0x01, 0x00}, {0x82, 0x05, 0x81, 0x00});
    EXPECT_EQ(station.state(), SEC_LM_CONNECTED);
}

TEST_F(SecondaryUpper, LmConnectWithTinyTpIsConfirmedWithCreditOne) {
    expectReply({0x84, 0x03, 0x01, 0x00, 0x01}, {0x83, 0x04, 0x81, 0x00, 0x01});
    EXPECT_EQ(station.state(), SEC_TTP_CONNECTED);
    EXPECT_EQ(station.peerComLsap, 0x03);
}

TEST_F(SecondaryUpper, TinyTpConnectWithParametersOrNoParameterByteIsNotAnswered) {
    EXPECT_TRUE(send({0x84, 0x02, 0x01, 0x00, 0x81, 0x01, 0x01, 0x00}).empty());
    EXPECT_TRUE(send({0x84, 0x02, 0x01}).empty());
    EXPECT_EQ(station.state(), SEC_LINKED);
}

TEST_F(SecondaryUpper, LmDisconnectIsAnsweredWithRr) {
    send({0x80, 0x02, 0x01, 0x00});
    expectRr({0x80, 0x02, 0x02, 0x01});
    EXPECT_EQ(station.state(), SEC_LINKED);
}

TEST_F(SecondaryUpper, OtherLmOpcodesAreIgnored) {
    EXPECT_TRUE(send({0x80, 0x02, 0x03, 0x00}).empty());
    EXPECT_TRUE(send({0x80, 0x02, 0x81, 0x00}).empty());
    EXPECT_EQ(station.state(), SEC_LINKED);
}

TEST_F(SecondaryUpper, IasAnswersTheLsapSelector) {
    expectReply(iasQuery("secondary_demo:IrCOMM", "secondary_demo:TinyTP:LsapSel"),
                iasAnswer(IAS_LSAP_SEL));
    EXPECT_EQ(station.state(), SEC_LINKED) << "answered without an LM connection, state kept";
}

TEST_F(SecondaryUpper, IasAnswersTheParameters) {
    expectReply(iasQuery("secondary_demo:IrCOMM", "Parameters"), iasAnswer(IAS_PARAMETERS));
}

TEST_F(SecondaryUpper, IasOtherAttributeAndOtherClass) {
    expectReply(iasQuery("secondary_demo:IrCOMM", "Device"), iasAnswer({0x02}));
    expectReply(iasQuery("Device", "DeviceName"), iasAnswer({0x01}));
    expectReply(iasQuery("secondary_demo:IrCOMMx", "Parameters"), iasAnswer({0x01}));
}

TEST_F(SecondaryUpper, IasLeadingPartOfTheClassMatches) {
    expectReply(iasQuery("secondary_demo", "secondary_demo:TinyTP:LsapSel"),
                iasAnswer(IAS_LSAP_SEL));
    expectReply(iasQuery("secondary_demo:IrCOMM", "Param"), iasAnswer(IAS_PARAMETERS));
}

TEST_F(SecondaryUpper, IasNamesRunningPastTheFrameAreNoSuchClass) {
    Bytes query = iasQuery("secondary_demo:IrCOMM", "Parameters");
    query[3] = 60; // class name length beyond the frame
    expectReply(query, iasAnswer({0x01}));
    query = iasQuery("secondary_demo:IrCOMM", "Parameters");
    query[4 + 21] = 11; // attribute one byte longer than the frame holds
    expectReply(query, iasAnswer({0x01}));
    query = iasQuery("secondary_demo:IrCOMM", "");
    query.pop_back(); // no attribute length byte
    expectReply(query, iasAnswer({0x01}));
}

TEST_F(SecondaryUpper, OtherIasOperationsAndSelectorsAreIgnored) {
    EXPECT_TRUE(send({0x00, 0x02, 0x83, 0x00}).empty());
    EXPECT_TRUE(send({0x07, 0x02, 0x01, 0x00, 'A', 'T'}).empty());
}

TEST_F(SecondaryUpper, FirstIrCommFrameOpensTheChannelAndClearsBothQueues) {
    send({0x84, 0x02, 0x01, 0x00, 0x01});
    queueText("stale");
    station.connection().deliver(text("x").data(), 1);
    console.take();
    expectReply(ircomm(LINE_SETTINGS, text("AT")), {0x02, 0x04, 0x01, 0x03, 0x20, 0x01, 0x0C});
    EXPECT_EQ(station.state(), SEC_IRCOMM_OPEN);
    EXPECT_NE(console.take().find("\nIrCOMM length:\t3:2"), std::string::npos);
    std::array<uint8_t, 63> received{};
    ASSERT_EQ(receive(received), 2);
    EXPECT_EQ(received[0], 'A');
    EXPECT_EQ(received[1], 'T');
    EXPECT_EQ(transmitQueued(), "");
}

TEST_F(SecondaryUpper, IrCommLengthLinePrintsParametersAndData) {
    send(ircomm(LINE_SETTINGS, text("AT")));
    EXPECT_NE(console.take().find("\nIrCOMM length:\t3:2"), std::string::npos);
}

TEST_F(SecondaryUpper, LaterIrCommFramesLeaveTheQueuesAlone) {
    send(ircomm(LINE_SETTINGS, {}));
    queueText("\r\nOK\r\n");
    expectReply(ircomm({}, text("AT\r")),
                {0x02, 0x04, 0x01, 0x00, '\r', '\n', 'O', 'K', '\r', '\n'});
    std::array<uint8_t, 63> received{};
    EXPECT_EQ(receive(received), 3);
}

TEST_F(SecondaryUpper, QueuedBytesGoWithLineSettingsWhenTheFrameHadParameters) {
    send(ircomm(LINE_SETTINGS, {}));
    queueText("OK");
    expectReply(ircomm(LINE_SETTINGS, {}), {0x02, 0x04, 0x01, 0x03, 0x20, 0x01, 0x0C, 'O', 'K'});
}

TEST_F(SecondaryUpper, EmptyIrCommFrameWithNothingQueuedGetsRr) {
    send(ircomm(LINE_SETTINGS, {}));
    expectRr(ircomm({}, {}));
}

TEST_F(SecondaryUpper, PollTakesAllThirtyOneQueuedBytesThenRr) {
    send({0x84, 0x02, 0x01, 0x00, 0x01});
    send(ircomm(LINE_SETTINGS, {}));
    const std::string full = "0123456789abcdefghijklmnopqrstu";
    queueText(full);
    ASSERT_EQ(queued(), 31);
    Bytes payload = {0x02, 0x04, 0x01, 0x00};
    payload.insert(payload.end(), full.begin(), full.end());
    EXPECT_EQ(deliver(rrCommand(ns)), Frames{iResponse(ns, ns, payload)});
    EXPECT_EQ(deliver(rrCommand(ns + 1)), Frames{rrResponse(ns)});
}

TEST_F(SecondaryUpper, RrInOpenChannelWithEmptyQueueGetsRr) {
    send(ircomm(LINE_SETTINGS, {}));
    EXPECT_EQ(deliver(rrCommand(ns)), Frames{rrResponse(ns)});
}

TEST_F(SecondaryUpper, IrCommParameterLengthPastTheFrameIsInvalid) {
    send(ircomm(LINE_SETTINGS, {}));
    console.take();
    Bytes frame = ircomm({}, text("AT"));
    frame[3] = 3; // claims three parameter bytes, the frame holds two
    EXPECT_TRUE(send(frame).empty());
    frame = ircomm({}, Bytes(40, 0x20));
    frame[3] = 75; // beyond the largest parameter block
    EXPECT_TRUE(send(frame).empty());
    EXPECT_TRUE(send({0x04, 0x02, 0x01}).empty()) << "no parameter length byte";
    std::array<uint8_t, 63> received{};
    EXPECT_EQ(receive(received), 0);
    EXPECT_EQ(console.take().find("IrCOMM length"), std::string::npos);
}

TEST_F(SecondaryUpper, InvalidFirstIrCommFrameDoesNotOpenTheChannel) {
    Bytes frame = ircomm({}, {});
    frame[3] = 1;
    EXPECT_TRUE(send(frame).empty());
    EXPECT_EQ(station.state(), SEC_LINKED);
}

TEST_F(SecondaryUpper, XidWhileOpenDropsToDiscoveredAndTheNextFrameReopens) {
    send(ircomm(LINE_SETTINGS, {}));
    deliver(xidCommand(0));
    EXPECT_EQ(station.state(), SEC_DISCOVERED);
    queueText("stale");
    send(ircomm({}, {}));
    EXPECT_EQ(station.state(), SEC_IRCOMM_OPEN);
    EXPECT_EQ(transmitQueued(), "");
}

} // namespace
