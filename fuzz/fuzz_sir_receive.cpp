// An arbitrary byte stream through the SIR receiver, frame after frame until it is used up; then
// the same stream through the primary's matching receive, which also answers TEST commands.
#include <memory>

#include "fuzz_support.h"
#include "lap.h"
#include "sir.h"

namespace {

void receiveAll(const uint8_t* data, size_t size) {
    FuzzLink link;
    link.feed(data, size);
    // On the heap, so a write past its end is caught.
    const auto buffer = std::make_unique<RxFrame>();
    while (!link.incoming.empty()) {
        buffer->fill(0);
        const uint16_t length = sirReceiveFrame(link, *buffer);
        FUZZ_CHECK(length <= SIR_MAX_CONTENT);
        if (length > 0) {
            // A frame is only returned whole: its FCS follows the content in the buffer.
            uint16_t fcs = FCS_INIT;
            for (uint16_t i = 0; i < length + 2; ++i) {
                fcs = fcsUpdate(fcs, (*buffer)[i]);
            }
            FUZZ_CHECK(fcs == FCS_GOOD);
        }
    }
    FUZZ_CHECK(link.sent.empty());
}

void waitAll(const uint8_t* data, size_t size) {
    if (size == 0) {
        return;
    }
    // The first byte picks what is waited for, as the primary's states do.
    const uint8_t mask = static_cast<uint8_t>(data[0] & 0xEF);
    const uint8_t match = static_cast<uint8_t>(data[size - 1] & mask);
    const bool stop = (data[0] & 0x10) != 0;
    FuzzLink link;
    link.feed(data, size);
    LinkRecord record{};
    lapResetLink(record, PRIMARY_DEVICE_ADDRESS);
    const auto buffer = std::make_unique<RxFrame>();
    while (!link.incoming.empty()) {
        const uint16_t length = lapWaitFrame(link, record, *buffer, mask, match, stop);
        FUZZ_CHECK(length <= SIR_MAX_CONTENT);
        FUZZ_CHECK(length == 0 || ((*buffer)[1] & mask) == match);
        FUZZ_CHECK(record.vr < 8 && record.vs < 8);
    }
    // Only TEST responses go out, ten bytes each.
    fuzzCheckSent(link.sent, 10);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = (fuzzSilenceConsole(), true);
    (void)silenced;
    receiveAll(data, size);
    waitAll(data, size);
    return 0;
}
