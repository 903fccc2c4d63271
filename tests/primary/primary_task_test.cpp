#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "deadline.h"
#include "primary_fixture.h"

using namespace primary;

namespace {

// A secondary that answers every frame the primary sends with an RR acknowledging the I-frames so
// far. Only the engine thread uses the ByteLink side while it runs.
class AnsweringLink final : public ByteLink {
  public:
    void sendByte(uint8_t byte) override {
        const std::lock_guard<std::mutex> guard(lock);
        wire.push_back(byte);
        frame.push_back(byte);
        if (byte == SIR_EOF) {
            for (const Bytes& content : sirUnwrapAll(frame)) {
                if ((content[1] & 1) == 0) {
                    nr = static_cast<uint8_t>(((content[1] >> 1) + 1) & 7);
                }
            }
            frame.clear();
            const Bytes bytes = sirWrap(peer::rr(nr));
            incoming.insert(incoming.end(), bytes.begin(), bytes.end());
        }
    }
    bool waitByte(uint16_t /*timeoutMs*/) override {
        const std::lock_guard<std::mutex> guard(lock);
        return !incoming.empty();
    }
    uint8_t readByte() override {
        const std::lock_guard<std::mutex> guard(lock);
        if (incoming.empty()) {
            return 0;
        }
        const uint8_t byte = incoming.front();
        incoming.pop_front();
        return byte;
    }

    std::mutex lock;
    std::deque<uint8_t> incoming;
    Bytes wire;
    Bytes frame;
    uint8_t nr = 5;
};

AnsweringLink answering;

// The user bytes of every data frame the primary sent, in order.
std::string sentText(const Bytes& wire) {
    std::string out;
    for (const Bytes& frame : sirUnwrapAll(wire)) {
        if (frame.size() >= 6 && (frame[1] & 0x01) == 0 && frame[2] == 0x04) {
            out.append(frame.begin() + 6, frame.end());
        }
    }
    return out;
}

TEST_F(PrimaryEngineTest, TextsSentWhileTheEngineRunsArriveIntactAndInOrder) {
    connectTo(PRIMARY_COMM_OPEN);
    answering.wire.clear();
    const Bytes open = sirWrap(peer::commOpen);
    answering.incoming.assign(open.begin(), open.end());
    port.useLink(answering);

    std::atomic<bool> stop{false};
    std::thread engine([this, &stop] {
        while (!stop.load()) {
            station.step();
        }
    });
    const Deadline deadline;
    // Texts queued before the channel opens race with the clear at channel open; never a hang.
    while (isConnected() == 0 && !deadline.passed()) {
        send("early");
    }
    const std::string code23 = "AT+CPBW=,\"07700900461\",129,\"Targetphone\"\r";
    std::string expected;
    for (int i = 0; i < 5; ++i) {
        send(code23);
        send("AT\r");
        expected += code23 + "AT\r";
    }
    while ((queued() == 0 ? 1 : 0) == 0 && !deadline.passed()) {
        std::this_thread::yield();
    }
    const bool late = deadline.passed();
    stop.store(true);
    engine.join();
    ASSERT_FALSE(late) << "the channel did not open or the queue did not drain";

    const std::string text = sentText(answering.wire);
    const size_t start = text.find(code23);
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(text.substr(start), expected);
    // Texts from before the opening are either gone whole or sent whole.
    const std::string before = text.substr(0, start);
    ASSERT_EQ(before.size() % 5, 0U);
    for (size_t i = 0; i < before.size(); i += 5) {
        EXPECT_EQ(before.substr(i, 5), "early");
    }
}

} // namespace
