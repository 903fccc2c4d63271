// A primary station fed arbitrary answers in every state: a scripted, well-behaved secondary
// first brings the engine to the state the first input byte names (below 10: the demo profile,
// 10 to 19: the full profile on a clock that moves 50 ms a step), then the rest of the input
// speaks for the secondary. After every step the state must be one of the ten and everything sent
// whole, valid SIR that fits the frame buffer.
#include <array>
#include <memory>
#include <mutex>

#include "byte_queue.h"
#include "fuzz_support.h"
#include "lap.h"
#include "primary_station.h"

using namespace primary;

namespace {

constexpr int STEPS_PER_FRAME = 2;
constexpr int DRAIN_STEPS = 64;
constexpr uint8_t RECEIVE_BUFFER_SIZE = 63;

FuzzLink* activeLink = nullptr;
FuzzPort* activePort = nullptr;
PrimaryStation* active = nullptr;

void step() {
    active->step();
    activePort->clockMs += STACK_TASK_PERIOD_MS;
    FUZZ_CHECK(active->state() <= PRIMARY_CONNECTED);
    FUZZ_CHECK(active->record().vr < 8 && active->record().vs < 8);
    FUZZ_CHECK(active->connection().held.length <= LAP_TX_FRAME_SIZE);
    for (const Bytes& frame : fuzzCheckSent(activeLink->sent, LAP_TX_FRAME_SIZE)) {
        // Commands only, but for the answer to a TEST command.
        FUZZ_CHECK(frame.size() >= 2);
        FUZZ_CHECK((frame[0] & 1) != 0 || (frame[1] & 0xEF) == LAP_TEST);
    }
    activeLink->sent.clear();
}

void answer(const Bytes& frame) {
    activeLink->feedFrame(frame.data(), frame.size());
    for (int i = 0; i < STEPS_PER_FRAME; ++i) {
        step();
    }
}

Bytes builtBy(const std::array<uint8_t, 32>& buffer, uint16_t length) {
    return {buffer.begin(), buffer.begin() + length};
}

// The secondary's answers along a whole connection; answer n takes the engine from state n to n+1.
// Discovery and connection answers come from the stack's own builders.
const std::array<Bytes, 8>& goodAnswers() {
    static const std::array<Bytes, 8> answers = [] {
        LinkRecord secondary{};
        lapResetLink(secondary, SECONDARY_DEVICE_ADDRESS);
        std::array<uint8_t, 4> primaryAddress{};
        lapPutAddress(primaryAddress.data(), PRIMARY_DEVICE_ADDRESS);
        std::array<uint8_t, 32> buffer{};
        const Bytes xid =
            builtBy(buffer, lapBuildXidResponse(buffer.data(), secondary, primaryAddress.data(),
                                                0x00, 0x00, lapPutDiscoveryInfo, 4));
        const Bytes ua =
            builtBy(buffer, lapBuildUaParams(buffer.data(), secondary, primaryAddress.data()));
        return std::array<Bytes, 8>{{
            xid,
            ua,
            {0x02, 0x11},
            {0x02, 0x30, 0x82, 0x00, 0x81, 0x00},
            {0x02, 0x52, 0x02, 0x00, 0x84, 0x00, 0x00, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00,
             0x04},
            {0x02, 0x71},
            {0x02, 0x94, 0x82, 0x04, 0x81, 0x00, 0x01},
            {0x02, 0xB6, 0x02, 0x04, 0x01, 0x03, 0x20, 0x01, 0x0C},
        }};
    }();
    return answers;
}

void driveTo(uint8_t state) {
    if (state == PRIMARY_START_DELAY) {
        return; // the input itself waits out the start delay
    }
    // The demo profile counts the delay in steps, the full one on the clock: as long as it lasts.
    for (int i = 0; i < 2 * PRIMARY_START_DELAY_STEPS && active->state() == PRIMARY_START_DELAY;
         ++i) {
        step();
    }
    for (uint8_t s = 1; s < state; ++s) {
        answer(goodAnswers()[s - 1]);
    }
    FUZZ_CHECK(active->state() == state);
}

void queueText(const uint8_t* text, size_t size) {
    // Only what fits now, so primarySend never waits for an engine that is not running.
    LapConnection& connection = active->connection();
    const int room = connection.room();
    const size_t length = size < static_cast<size_t>(room) ? size : static_cast<size_t>(room);
    FUZZ_CHECK(connection.send(text, length) <= length);
    // The application fetches what arrived; exactly sized, so an overlong fetch is caught.
    const auto received = std::make_unique<uint8_t[]>(RECEIVE_BUFFER_SIZE);
    FUZZ_CHECK(connection.receive(received.get(), RECEIVE_BUFFER_SIZE) <= RECEIVE_BUFFER_SIZE);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = (fuzzSilenceConsole(), true);
    (void)silenced;
    if (size == 0) {
        return 0;
    }
    FuzzLink fuzzLink;
    FuzzPort port(fuzzLink);
    const auto station = std::make_unique<PrimaryStation>(port);
    activeLink = &fuzzLink;
    activePort = &port;
    active = station.get();
    if (data[0] / 10 % 2 != 0) {
        station->setOffer(lapFullOffer(0x3F));
    }
    station->init();
    driveTo(static_cast<uint8_t>(data[0] % 10));

    FuzzRecordReader reader(data + 1, size - 1);
    FuzzRecord record{};
    while (reader.next(record)) {
        switch (record.kind) {
        case FuzzRecord::frame:
            fuzzLink.feedFrame(record.body, record.size);
            for (int i = 0; i < STEPS_PER_FRAME; ++i) {
                step();
            }
            break;
        case FuzzRecord::raw:
            fuzzLink.feed(record.body, record.size);
            step();
            break;
        case FuzzRecord::text:
            queueText(record.body, record.size);
            break;
        case FuzzRecord::quiet:
            for (size_t i = 0; i < record.size; ++i) {
                step();
            }
            break;
        }
    }
    for (int i = 0; i < DRAIN_STEPS && !fuzzLink.incoming.empty(); ++i) {
        step();
    }

    activeLink = nullptr;
    activePort = nullptr;
    active = nullptr;
    return 0;
}
