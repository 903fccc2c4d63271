// The secondary on the platform UART at 9600 bit/s, on simulated time: frame bytes arrive one per
// 1.04 ms at many phases against the engine's 50 ms step, its read at once after a step that saw
// a byte, and the receive thread, which wakes for a byte and then lets bytes gather as long as
// its pass asks; every frame up to the longest content must be received whole.
#include <deque>
#include <utility>

#include "platform.h"
#include "secondary.h"
#include "secondary_fixture.h"
#include "sim_clock.h"
#include "transceiver.h"

using namespace secondary;

namespace {

constexpr uint64_t TASK_PERIOD_US = STACK_TASK_PERIOD_MS * 1000ULL;
constexpr uint64_t LINE_BYTES_PER_SECOND = 960; // 9600 bit/s, 10 bits a byte

SimClock* clockInUse = nullptr;
std::deque<std::pair<uint64_t, uint8_t>> onTheWire; // arrival time, byte
std::deque<uint8_t> inThePort;
std::vector<uint8_t> sentOnTheWire;

uint32_t simReceive(uint8_t* buffer, uint32_t maximum) {
    while (!onTheWire.empty() && onTheWire.front().first <= clockInUse->nowUs) {
        inThePort.push_back(onTheWire.front().second);
        onTheWire.pop_front();
    }
    uint32_t count = 0;
    while (count < maximum && !inThePort.empty()) {
        buffer[count++] = inThePort.front();
        inThePort.pop_front();
    }
    return count;
}

constexpr uint64_t THREAD_TICK_US = 250;
uint64_t nextPassUs = 0;

// The receive thread, looked at every tick: blocked until a byte is in the port, asleep until
// its gather time is over.
void receiveThreadTick() {
    const bool byteThere =
        !inThePort.empty() || (!onTheWire.empty() && onTheWire.front().first <= clockInUse->nowUs);
    if (clockInUse->nowUs >= nextPassUs && byteThere) {
        nextPassUs = clockInUse->nowUs + uint64_t{platformRxPoll()} * 1000;
    }
}

void simTransmit(const uint8_t* bytes, uint32_t count) {
    sentOnTheWire.insert(sentOnTheWire.end(), bytes, bytes + count);
}

constexpr PlatformPortHooks SIM_PORT = {simReceive, simTransmit};

class SecondaryLineRate : public ::testing::Test {
  protected:
    void SetUp() override {
        clockInUse = &clock;
        onTheWire.clear();
        inThePort.clear();
        sentOnTheWire.clear();
        nextPassUs = 0;
        platformSetPortHooks(&SIM_PORT);
        platformRxReset();
        secondaryInit(); // the default station, on the platform UART
        station.setState(SEC_IRCOMM_OPEN);
        station.shownState = SEC_IRCOMM_OPEN;
        station.peerComLsap = 0x02;
    }
    void TearDown() override {
        platformSetPortHooks(nullptr);
        clockInUse = nullptr;
    }

    void startPolls(uint64_t phaseUs) {
        clock.everyPeriod(clock.nowUs + phaseUs, THREAD_TICK_US, receiveThreadTick);
    }
    // The task's rhythm: sleep 50 ms unless the last step saw a byte, then one engine step.
    void pass() {
        if (!secondaryByteSeen()) {
            clock.advanceUs(TASK_PERIOD_US);
        }
        secondaryStep();
    }
    void transmitAt(uint64_t startUs, const Bytes& content) {
        const Bytes wire = sirWrap(content);
        for (size_t i = 0; i < wire.size(); ++i) {
            onTheWire.emplace_back(startUs + i * 1'000'000 / LINE_BYTES_PER_SECOND, wire[i]);
        }
    }
    // Passes until a reply went out (or a second has gone by); returns the replies.
    Frames replyTo(const Bytes& content, uint64_t phaseUs) {
        transmitAt(clock.nowUs + phaseUs, content);
        for (int i = 0; i < 20 && sentOnTheWire.empty(); ++i) {
            pass();
        }
        Frames replies = sirUnwrapAll(sentOnTheWire);
        sentOnTheWire.clear();
        for (int i = 0; i < 3; ++i) {
            pass(); // the line falls quiet between frames
        }
        return replies;
    }

    SimClock clock;
    ConsoleCapture console;
    SecondaryStation& station = secondaryDefault();
};

// Data that needs escapes too, so the longest frames run to about 130 bytes on the wire.
Bytes dataOf(size_t length, unsigned seed) {
    static constexpr uint8_t SPECIAL[] = {0xC0, 0xC1, 0x7D, 0xFF};
    Bytes data(length);
    for (size_t i = 0; i < length; ++i) {
        const unsigned mix = (seed * 31U + static_cast<unsigned>(i) * 17U) % 7U;
        data[i] = mix < 4 ? SPECIAL[mix] : static_cast<uint8_t>('a' + (seed + i) % 26);
    }
    return data;
}

TEST_F(SecondaryLineRate, EveryFrameUpToTheLongestArrivesWholeAtAnyPhase) {
    int frames = 0;
    for (unsigned round = 0; round < 4; ++round) {
        startPolls(round * 50 + 37);
        // Up to the 64-byte information field the demo's list offers.
        for (size_t length = 0; length <= 2 + 64 - 6; ++length) {
            const uint64_t phaseUs = (frames * 1'237ULL) % TASK_PERIOD_US;
            const uint8_t ns = station.connection().record.vr;
            const Bytes data = dataOf(length, round * 100 + static_cast<unsigned>(length));
            const Frames replies = replyTo(iCommand(ns, 0, ircomm({}, data)), phaseUs);
            ASSERT_EQ(replies, Frames{rrResponse(static_cast<uint8_t>((ns + 1) & 7))})
                << "content " << length + 6 << " bytes at phase " << phaseUs << " us";
            std::array<uint8_t, FIXED_RECEIVE_SIZE - 1> received{};
            const uint8_t count = secondaryReceive(received.data());
            ASSERT_EQ(Bytes(received.begin(), received.begin() + count), data);
            console.take();
            ++frames;
        }
    }
    EXPECT_EQ(frames, 4 * 61);
}

TEST_F(SecondaryLineRate, TheIasQueryArrivesWholeAtEveryPhase) {
    startPolls(90);
    const Bytes lsapSel = {0x02, 0x00, 0x84, 0x00, 0x00, 0x01, 0x00,
                           0x01, 0x01, 0x00, 0x00, 0x00, 0x04};
    for (uint64_t phaseUs = 0; phaseUs < TASK_PERIOD_US; phaseUs += 1'000) {
        const uint8_t ns = station.connection().record.vr;
        const Bytes query =
            iCommand(ns, 0, iasQuery("secondary_demo:IrCOMM", "secondary_demo:TinyTP:LsapSel"));
        ASSERT_EQ(query.size(), 57U);
        const Frames replies = replyTo(query, phaseUs);
        ASSERT_EQ(replies, Frames{iResponse(static_cast<uint8_t>((ns + 1) & 7), 0, lsapSel)})
            << "phase " << phaseUs << " us";
        console.take();
    }
}

} // namespace
