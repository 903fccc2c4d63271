// The frame tests and parsers on arbitrary frames of every length, each in a buffer of exactly the
// frame's size so that a read past its end is caught.
#include <array>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "lap.h"
#include "pdu.h"
#include "trace.h"

namespace {

// Parameter identifiers the stations look for, and a few they do not.
constexpr std::array<uint8_t, 6> PARAMS{0x01, 0x82, 0x83, 0x08, 0x00, 0xFF};
// Where parameter lists start: the whole frame, a UA, an SNRM.
constexpr std::array<uint16_t, 3> PARAM_OFFSETS{0, 10, 11};
constexpr uint16_t IAS_ANSWER_OFFSET = 5;

void parse(const uint8_t* frame, uint16_t length) {
    frameTrace(frame, length);

    for (const uint16_t offset : PARAM_OFFSETS) {
        if (offset > length) {
            continue;
        }
        for (const uint8_t pi : PARAMS) {
            lapFindParam(frame + offset, static_cast<uint16_t>(length - offset), pi);
        }
    }
    if (length >= 4) {
        LinkRecord link{};
        lapResetLink(link, SECONDARY_DEVICE_ADDRESS);
        lapAddressMatches(link, frame);
    }

    const bool isI = length >= 2 && (frame[1] & 1) == 0;
    FUZZ_CHECK(lmpIsConnectConfirm(frame, length) == 0 || (isI && length >= 5));
    FUZZ_CHECK(iasIsResponse(frame, length) == 0 || (isI && length >= 5));
    FUZZ_CHECK(ttpIsConnect(frame, length) == 0 || (isI && length >= 7));
    if (commIsDataFrame(frame, length) != 0) {
        // The control parameters lie inside the frame.
        FUZZ_CHECK(isI && length >= 6 && frame[5] <= COMM_MAX_PARAM_LENGTH &&
                   6 + frame[5] <= length);
    }

    uint16_t value = 0xFFFF;
    if (iasParseLsapSel(frame, length, value) != 0) {
        FUZZ_CHECK(length >= 10);
    }
    if (length >= IAS_ANSWER_OFFSET) {
        iasParseLsapSel(frame + IAS_ANSWER_OFFSET,
                        static_cast<uint16_t>(length - IAS_ANSWER_OFFSET), value);
        const std::span<const uint8_t> answer(frame + IAS_ANSWER_OFFSET,
                                              length - IAS_ANSWER_OFFSET);
        std::array<IasValue, 4> values{};
        const IasAnswer parsed = iasParseValues(answer, values);
        FUZZ_CHECK(parsed.stored <= values.size() && parsed.stored <= parsed.announced);
        for (uint16_t i = 0; i < parsed.stored; ++i) {
            // Each value lies inside the answer (the read itself is what ASan watches).
            const std::span<const uint8_t> bytes = values.at(i).bytes;
            FUZZ_CHECK(bytes.empty() ||
                       (bytes.data() >= answer.data() &&
                        bytes.data() + bytes.size() <= answer.data() + answer.size()));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = (fuzzSilenceConsole(), true);
    (void)silenced;
    if (size > UINT16_MAX) {
        return 0;
    }
    // new[] of exactly `size`, even 0, so every byte beyond is a redzone.
    const std::unique_ptr<uint8_t[]> frame(new uint8_t[size]);
    if (size > 0) {
        std::memcpy(frame.get(), data, size);
    }
    parse(frame.get(), static_cast<uint16_t>(size));
    return 0;
}
