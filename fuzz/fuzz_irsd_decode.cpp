// The daemon's protocol decoder on arbitrary bytes: once as one message in a buffer of exactly its
// size, then as a stream cut into pieces through the receive buffer, in both directions. Whatever
// it accepts must encode back to the very same bytes.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "irsd_msg.h"
#include "irsd_wire.h"

namespace {

void checkRoundTrip(const IrsdMsg& msg, std::span<const uint8_t> bytes) {
    std::vector<uint8_t> again(IRSD_MSG_MAX);
    const int length = irsdEncode(msg, again);
    FUZZ_CHECK(length == static_cast<int>(bytes.size()));
    FUZZ_CHECK(std::memcmp(again.data(), bytes.data(), bytes.size()) == 0);
}

void asStream(const uint8_t* data, size_t size, IrsdFrom from) {
    IrsdReceiver in;
    IrsdMsg msg;
    // The input's length picks the piece size, so reassembly meets every cut.
    const size_t piece = 1 + size % 64;
    size_t at = 0;
    while (at < size) {
        const size_t take = std::min({piece, size - at, in.bytes.size() - in.used});
        FUZZ_CHECK(take > 0);
        std::memcpy(in.bytes.data() + in.used, data + at, take);
        in.used += take;
        at += take;
        int taken = 0;
        while ((taken = irsdTakeMessage(in, msg, from)) == 1) {
            FUZZ_CHECK(irsdLayout(msg.type) != nullptr && irsdLayout(msg.type)->from == from);
            FUZZ_CHECK(msg.fd == -1);
        }
        if (taken < 0) {
            return;
        }
        FUZZ_CHECK(in.used < IRSD_MSG_MAX);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> exact(data, data + size);
    IrsdMsg msg;
    if (irsdDecode(exact, msg) == IRSD_OK) {
        FUZZ_CHECK(size <= IRSD_MSG_MAX);
        checkRoundTrip(msg, exact);
    }
    const int length = irsdMessageLength(exact);
    FUZZ_CHECK(length <= static_cast<int>(IRSD_MSG_MAX));
    asStream(data, size, IrsdFrom::CLIENT);
    asStream(data, size, IrsdFrom::DAEMON);
    return 0;
}
