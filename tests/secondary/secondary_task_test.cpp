#include <chrono>
#include <thread>

#include "secondary_fixture.h"
#include "secondary_station.h"

using namespace secondary;

namespace {

const Bytes OK_ANSWER = text("\r\nOK\r\n");

class SecondaryTask : public SecondaryTest {
  protected:
    // One task pass with a frame from the primary read in it (the pass before sees the byte).
    Frames passWith(const Bytes& frame) {
        link.feedFrame(frame);
        station.taskPass();
        station.taskPass();
        return link.takeSentFrames();
    }
    Frames dataFrame(const Bytes& data) {
        const Frames replies = passWith(iCommand(ns, nr, ircomm({}, data)));
        ns = static_cast<uint8_t>((ns + 1) & 7);
        return replies;
    }
    Frames poll() { return passWith(rrCommand(nr)); }
    // A data frame from the secondary, as accepted after the primary's frames so far.
    Bytes dataReply(const Bytes& data) const {
        Bytes payload = {0x02, 0x04, 0x01, 0x00};
        payload.insert(payload.end(), data.begin(), data.end());
        return iResponse(ns, nr, payload);
    }
    void connectTask() {
        openChannel();
        station.taskPass(); // notices the open channel
        link.takeSentFrames();
        console.take();
    }
};

TEST(SecondaryDump, PrintsEachByteWithItsCharacterWhenPrintable) {
    ConsoleCapture console;
    const uint8_t bytes[] = {'A', 'T', '\r', ' ', 0x7F, 0xC8};
    dumpReceived(bytes, sizeof bytes);
    EXPECT_EQ(console.take(), "\n\t\t065\t0x41\tA\n\t\t084\t0x54\tT\n\t\t013\t0x0D"
                              "\n\t\t032\t0x20\t \n\t\t127\t0x7F\n\t\t200\t0xC8");
}

TEST_F(SecondaryTask, AtIsPrintedAndAnsweredOnTheNextPoll) {
    connectTask();
    dataFrame(text("AT\r"));
    const std::string printed = console.take();
    EXPECT_NE(printed.find("\n\t\t065\t0x41\tA\n\t\t084\t0x54\tT\n\t\t013\t0x0D"),
              std::string::npos);
    EXPECT_EQ(poll(), Frames{dataReply(OK_ANSWER)});
}

TEST_F(SecondaryTask, BytesWithoutAtAreOnlyPrinted) {
    connectTask();
    dataFrame(text("A T"));
    dataFrame(text("at\r"));
    const Bytes hidden = {'x', 0x00, 'A', 'T'};
    dataFrame(hidden);
    EXPECT_EQ(poll(), Frames{rrResponse(ns)});
    EXPECT_NE(console.take().find("\n\t\t000\t0x00\n\t\t065\t0x41\tA"), std::string::npos);
}

TEST_F(SecondaryTask, BytesOfThePassThatOpensAreAnsweredInTheNext) {
    deliver(snrm());
    deliver(iCommand(0, 0, {0x84, 0x02, 0x01, 0x00, 0x01}));
    link.feedFrame(iCommand(1, 0, ircomm({0x20, 0x01, 0x0C}, text("AT"))));
    station.taskPass();
    station.taskPass(); // reads the frame: channel opens, task only switches mode
    EXPECT_EQ(station.state(), SEC_IRCOMM_OPEN);
    EXPECT_EQ(queued(), 0);
    station.taskPass();
    EXPECT_EQ(queued(), 6);
}

TEST_F(SecondaryTask, AnswerThatDoesNotFitIsOwedUntilThereIsRoom) {
    connectTask();
    queueText("x");
    ASSERT_EQ(poll(), Frames{dataReply(text("x"))}); // held until the primary acknowledges it
    queueText(std::string(31, 'y'));
    dataFrame(text("AT")); // the held frame goes again; the queue stays full
    EXPECT_EQ(queued(), 31) << "the task did not block";
    nr = static_cast<uint8_t>((nr + 1) & 7);
    poll(); // acknowledged: the queue drains and the owed answer follows
    EXPECT_EQ(queued(), 6);
}

TEST_F(SecondaryTask, TaskLeavesConnectedModeWhenTheChannelCloses) {
    connectTask();
    deliver(xidCommand(0));
    station.taskPass();    // notices: waiting again
    dataFrame(text("AT")); // reopens the channel; this pass only switches mode
    EXPECT_EQ(queued(), 0);
    station.taskPass();
    EXPECT_EQ(queued(), 6);
}

TEST_F(SecondaryTask, LongTextWaitsForTheEngineAndArrivesWhole) {
    connectTask();
    const std::string code23 = "AT+CPBW=,\"07700900461\",129,\"Targetphone\"\r";
    ASSERT_EQ(code23.size(), 41U);
    std::thread console_thread([this, &code23] { queueText(code23); });
    std::string delivered;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (delivered.size() < code23.size() && std::chrono::steady_clock::now() < deadline) {
        for (const Bytes& frame : passWith(rrCommand(nr))) {
            if (frame.size() > 6) {
                delivered.append(frame.begin() + 6, frame.end());
                nr = static_cast<uint8_t>(((frame[1] >> 1) + 1) & 7); // the next poll acknowledges
            }
        }
    }
    console_thread.join();
    EXPECT_EQ(delivered, code23);
}

TEST_F(SecondaryTask, TextThatDoesNotFitBeforeTheChannelOpensIsDropped) {
    queueText(std::string(41, 'y')); // returns at once
    EXPECT_EQ(queued(), 0);
    queueText("AT\r");
    EXPECT_EQ(transmitQueued(), "AT\r");
}

TEST_F(SecondaryTask, PhaseFollowsTheEngine) {
    EXPECT_EQ(station.connection().phase(), LINK_SEARCHING);
    deliver(xidCommand(0));
    EXPECT_EQ(station.connection().phase(), LINK_SEARCHING);
    deliver(snrm());
    EXPECT_EQ(station.connection().phase(), LINK_CONNECTED);
    openChannel();
    EXPECT_EQ(station.connection().phase(), LINK_OPEN);
    deliver(xidCommand(0));
    EXPECT_EQ(station.connection().phase(), LINK_SEARCHING);
}

TEST_F(SecondaryTask, TaskPrintsItsEndOnceWhenStopped) {
    EXPECT_EQ(station.runTask(), 0U) << "the run flag is down";
    EXPECT_EQ(console.take(), "\n\tEOT");
}

} // namespace
