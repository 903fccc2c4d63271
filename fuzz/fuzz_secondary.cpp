// The secondary station fed arbitrary sequences of frames (and so its IAS server, LM-MUX, TinyTP
// and IrCOMM handling), with texts queued by the application between them. After every pass of
// the task the state must be one of the six and what went out whole, valid SIR within the
// transmit buffer.
#include <array>

#include "fuzz_support.h"
#include "secondary.h"
#include "secondary_internal.h"
#include "transceiver.h"

using namespace secondary;

namespace {

// Enough passes for a frame fed whole to be seen and then read.
constexpr int PASSES_PER_FRAME = 2;
constexpr int DRAIN_PASSES = 64;

FuzzLink* activeLink = nullptr;

void pass() {
    secondaryTaskPass();
    FUZZ_CHECK(engineState.load() <= SEC_IRCOMM_OPEN);
    FUZZ_CHECK(linkRecord.vr < 8 && linkRecord.vs < 8);
    const std::vector<Bytes> replies = fuzzCheckSent(activeLink->sent, SECONDARY_TX_FRAME_SIZE);
    FUZZ_CHECK(replies.size() <= 1); // at most one reply per step
    for (const Bytes& reply : replies) {
        FUZZ_CHECK(reply.size() >= 2 && (reply[0] & 1) == 0); // a secondary only responds
    }
    activeLink->sent.clear();
}

// What a previous input may have left in the engine's globals that secondaryInit does not reset.
void resetLeftovers() {
    stepCounter = 0;
    peerComLsap = 0;
    stagedCount = 0;
    txFrame.fill(0);
    staging.fill(0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = (fuzzSilenceConsole(), true);
    (void)silenced;
    FuzzLink fuzzLink;
    activeLink = &fuzzLink;
    secondaryBindLink(&fuzzLink);
    resetLeftovers();
    secondaryInit();
    pass();

    FuzzRecordReader reader(data, size);
    FuzzRecord record{};
    while (reader.next(record)) {
        switch (record.kind) {
        case FuzzRecord::frame:
            fuzzLink.feedFrame(record.body, record.size);
            for (int i = 0; i < PASSES_PER_FRAME; ++i) {
                pass();
            }
            break;
        case FuzzRecord::raw:
            fuzzLink.feed(record.body, record.size);
            pass();
            break;
        case FuzzRecord::text:
            // Never blocks; a text that does not fit is refused whole.
            secondaryTrySend(record.body, static_cast<uint8_t>(record.size));
            break;
        case FuzzRecord::quiet:
            for (size_t i = 0; i < record.size; ++i) {
                pass();
            }
            break;
        }
    }
    for (int i = 0; i < DRAIN_PASSES && !fuzzLink.incoming.empty(); ++i) {
        pass();
    }

    secondaryBindLink(nullptr);
    activeLink = nullptr;
    return 0;
}
