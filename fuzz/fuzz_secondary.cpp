// The secondary station fed arbitrary sequences of frames (and so its IAS server, LM-MUX, TinyTP
// and IrCOMM handling), with texts queued by the application between them. After every pass of
// the task the state must be one of the six and what went out whole, valid SIR within the
// transmit buffer.
#include "fuzz_support.h"
#include "lap_port.h"
#include "secondary_station.h"

using namespace secondary;

namespace {

// Enough passes for a frame fed whole to be seen and then read.
constexpr int PASSES_PER_FRAME = 2;
constexpr int DRAIN_PASSES = 64;

void pass(SecondaryStation& station, FuzzPort& port, FuzzLink& line) {
    station.taskPass();
    port.clockMs += STACK_TASK_PERIOD_MS;
    const LinkRecord& record = station.connection().record;
    FUZZ_CHECK(station.state() <= SEC_IRCOMM_OPEN);
    FUZZ_CHECK(record.vr < 8 && record.vs < 8);
    const std::vector<Bytes> replies = fuzzCheckSent(line.sent, LAP_TX_FRAME_SIZE);
    FUZZ_CHECK(replies.size() <= 1); // at most one reply per step
    for (const Bytes& reply : replies) {
        FUZZ_CHECK(reply.size() >= 2 && (reply[0] & 1) == 0); // a secondary only responds
    }
    line.sent.clear();
}

void run(const uint8_t* data, size_t size, const LapOffer& offer) {
    FuzzLink line;
    FuzzPort port(line);
    SecondaryStation station(port);
    station.setOffer(offer);
    station.init();
    pass(station, port, line);

    FuzzRecordReader reader(data, size);
    FuzzRecord record{};
    while (reader.next(record)) {
        switch (record.kind) {
        case FuzzRecord::frame:
            line.feedFrame(record.body, record.size);
            for (int i = 0; i < PASSES_PER_FRAME; ++i) {
                pass(station, port, line);
            }
            break;
        case FuzzRecord::raw:
            line.feed(record.body, record.size);
            pass(station, port, line);
            break;
        case FuzzRecord::text:
            // Never blocks; a text that does not fit is refused whole.
            station.connection().trySend(record.body, record.size);
            break;
        case FuzzRecord::quiet:
            for (size_t i = 0; i < record.size; ++i) {
                pass(station, port, line);
            }
            break;
        }
    }
    for (int i = 0; i < DRAIN_PASSES && !line.incoming.empty(); ++i) {
        pass(station, port, line);
    }
}

} // namespace

// Each input drives both profiles: the demo's fixed one and the full one with its Nr checks.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = (fuzzSilenceConsole(), true);
    (void)silenced;
    run(data, size, LAP_FIXED_OFFER);
    run(data, size, lapFullOffer(0x3E));
    return 0;
}
