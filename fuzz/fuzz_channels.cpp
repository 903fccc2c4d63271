// The library's receive path: a device station offering three services as irs_listen sets them up
// (IrCOMM, a raw service and a second IrCOMM one, each on its own selector) fed arbitrary frames,
// with every channel read and written after each pass through the calls irs_read and irs_write
// use. Credits, queues and replies must stay within their bounds whatever the peer sends.
#include "fuzz_support.h"
#include "lap_port.h"
#include "secondary_station.h"

using namespace secondary;

namespace {

constexpr int PASSES_PER_FRAME = 2;
constexpr int DRAIN_PASSES = 64;

struct Harness {
    FuzzLink line;
    FuzzPort port{line};
    SecondaryStation station{port};
    size_t fedBytes = 0;
    size_t readBytes = 0;
};

void readEveryLane(Harness& h) {
    LapConnection& conn = h.station.connection();
    std::array<uint8_t, 64> buffer{};
    for (uint8_t lane = 0; lane < MUX_CHANNELS; ++lane) {
        const int waiting = lane == 0 ? conn.available() : conn.extra(lane).available();
        FUZZ_CHECK(waiting >= 0 && waiting < FULL_QUEUE_SIZE);
        const TtpCredits& credits = conn.credits(lane);
        FUZZ_CHECK(credits.toSend <= TTP_CREDIT_MAX && credits.granted <= TTP_CREDIT_MAX);
        const size_t taken = lane == 0 ? conn.receive(buffer.data(), buffer.size())
                                       : conn.extra(lane).read(buffer.data(), buffer.size());
        FUZZ_CHECK(taken <= buffer.size());
        h.readBytes += taken;
        FUZZ_CHECK(conn.laneUnacknowledged(lane) >= 0);
    }
    // Nothing is read that the peer did not send.
    FUZZ_CHECK(h.readBytes <= h.fedBytes);
}

void pass(Harness& h) {
    h.station.taskPass();
    h.port.clockMs += STACK_TASK_PERIOD_MS;
    const LinkRecord& record = h.station.connection().record;
    FUZZ_CHECK(h.station.state() <= SEC_IRCOMM_OPEN);
    FUZZ_CHECK(record.vr < 8 && record.vs < 8);
    const std::vector<Bytes> replies = fuzzCheckSent(h.line.sent, LAP_TX_FRAME_SIZE);
    FUZZ_CHECK(replies.size() <= 1);
    for (const Bytes& reply : replies) {
        FUZZ_CHECK(reply.size() >= 2 && (reply[0] & 1) == 0);
    }
    h.line.sent.clear();
    readEveryLane(h);
}

// A text goes to the lane its first byte names, as irs_write would put it there.
void write(Harness& h, const uint8_t* body, size_t size) {
    if (size == 0) {
        return;
    }
    const auto lane = static_cast<uint8_t>(body[0] % MUX_CHANNELS);
    LapConnection& conn = h.station.connection();
    if (lane == 0) {
        conn.trySend(body + 1, size - 1);
    } else {
        conn.extra(lane).write(body + 1, size - 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = (fuzzSilenceConsole(), true);
    (void)silenced;
    Harness h;
    h.station.setOffer(lapFullOffer(0x3E));
    h.station.setDemoAnswers(false);
    h.station.setService(nullptr, nullptr, false);
    FUZZ_CHECK(h.station.addService("Dive", "Log", true) == 1);
    FUZZ_CHECK(h.station.addService("Modem", "Control", false) == 2);
    h.station.init();
    pass(h);

    FuzzRecordReader reader(data, size);
    FuzzRecord record{};
    while (reader.next(record)) {
        switch (record.kind) {
        case FuzzRecord::frame:
            h.line.feedFrame(record.body, record.size);
            h.fedBytes += record.size;
            for (int i = 0; i < PASSES_PER_FRAME; ++i) {
                pass(h);
            }
            break;
        case FuzzRecord::raw:
            h.line.feed(record.body, record.size);
            h.fedBytes += record.size;
            pass(h);
            break;
        case FuzzRecord::text:
            write(h, record.body, record.size);
            break;
        case FuzzRecord::quiet:
            for (size_t i = 0; i < record.size; ++i) {
                pass(h);
            }
            break;
        }
    }
    for (int i = 0; i < DRAIN_PASSES && !h.line.incoming.empty(); ++i) {
        pass(h);
    }
    return 0;
}
