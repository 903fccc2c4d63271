// The link-layer frames of a normal connection between the two stations, as they appear on the
// link: the one copy the test fixtures take them from.
#pragma once

#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace wire {

// Inline, so they are ready before any other test global that is built from them.
inline const Bytes PRIMARY_ADDRESS = {0x34, 0x12, 0xCD, 0xAB}; // device addresses in wire order
inline const Bytes SECONDARY_ADDRESS = {0xAB, 0xCD, 0x12, 0x34};
inline const Bytes BROADCAST = {0xFF, 0xFF, 0xFF, 0xFF};
// The 21-byte negotiation list both stations send, in the SNRM and in the UA.
inline const Bytes PARAMS = {0x01, 0x01, 0x02, 0x82, 0x01, 0x01, 0x83, 0x01, 0x01, 0x84, 0x01,
                             0x01, 0x85, 0x01, 0x02, 0x86, 0x01, 0x80, 0x08, 0x01, 0x01};
// The primary's first discovery command (slot 0, no discovery information) and the answer.
inline const Bytes FIRST_XID = {0xFF, 0x3F, 0x01, 0x34, 0x12, 0xCD, 0xAB,
                                0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00};
inline const Bytes XID_RESPONSE = {0xFE, 0xBF, 0x01, 0xAB, 0xCD, 0x12, 0x34, 0x34,
                                   0x12, 0xCD, 0xAB, 0x00, 0x00, 0x00, 0x82, 0x04};

// The primary's SNRM, with the baud-rate value of its list replaced.
Bytes snrm(uint8_t connectionByte = 0x02, uint8_t baudCode = 0x02,
           const Bytes& destination = SECONDARY_ADDRESS);
// The secondary's UA with the negotiation list, with its baud-rate value replaced.
Bytes uaParams(uint8_t connectionByte = 0x02, uint8_t baudCode = 0x02);

} // namespace wire
