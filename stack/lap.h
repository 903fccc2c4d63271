// IrLAP frames: link record, frame builders, negotiation parameters and the primary's matching
// receive.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "ir_options.h"
#include "sir.h"

constexpr uint32_t BROADCAST_DEVICE_ADDRESS = 0xFFFFFFFF;
constexpr uint16_t LAP_PARAMS_LENGTH = 21;

// Control bytes as sent (P/F set) and as compared (control AND 0xEF).
constexpr uint8_t LAP_PF = 0x10;
// In the address byte: set on commands (from the primary).
constexpr uint8_t LAP_CR = 0x01;
constexpr uint8_t LAP_XID_COMMAND = 0x2F;
constexpr uint8_t LAP_XID_RESPONSE = 0xAF;
constexpr uint8_t LAP_SNRM = 0x83;
constexpr uint8_t LAP_DISC = 0x43;
// The same control byte as a response: the secondary asks the primary to end the link.
constexpr uint8_t LAP_RD = 0x43;
constexpr uint8_t LAP_UA = 0x63;
constexpr uint8_t LAP_TEST = 0xE3;
constexpr uint8_t LAP_RR = 0x01;

// A station's offer, as the bit fields that go on the wire.
struct LapOffer {
    // False: the fixed list and rules of the demo programs (only the baud rate is read back).
    bool negotiates{};
    uint8_t baudBits{};
    uint8_t dataSizeBits{};
    uint8_t additionalBofBits{};
    // Frames this station takes before it must answer, bit 0 for one.
    uint8_t windowBits = 0x01;
    // How long this station needs after sending before it can receive: 0 ms unless asked.
    uint8_t minTurnaroundBits = 0x80;
    // A negotiating list that also leaves out what an absent entry reads as (no additional BOFs,
    // no minimum turnaround): for set-up repeats under stray light, where each byte at 9600 bit/s
    // is another chance to be spoilt.
    bool brief = false;
};

constexpr uint8_t LAP_NO_ADDITIONAL_BOFS = 0x80;
constexpr uint8_t LAP_NO_TURNAROUND = 0x80;

constexpr uint8_t LAP_BAUD_9600 = 0x02;
constexpr LapOffer LAP_FIXED_OFFER{false, LAP_BAUD_9600, 0x01, 0x02};
// Every data size from 64 bytes up to `maxDataSize` (64 at least), windows of one frame up to
// `maxWindow` (1 to 7), and no additional BOFs.
constexpr LapOffer lapFullOffer(uint8_t baudBits, uint8_t maxWindow = 1,
                                uint16_t maxDataSize = LAP_DEFAULT_DATA_SIZE) {
    uint8_t sizeBits = 0x01;
    for (uint16_t size = 128, bit = 0x02; size <= 2048 && size <= maxDataSize;
         size = static_cast<uint16_t>(size * 2), bit = static_cast<uint16_t>(bit << 1)) {
        sizeBits = static_cast<uint8_t>(sizeBits | bit);
    }
    const uint8_t window = maxWindow < 1 ? 1 : (maxWindow > 7 ? 7 : maxWindow);
    return LapOffer{true, baudBits, sizeBits, LAP_NO_ADDITIONAL_BOFS,
                    static_cast<uint8_t>((1U << window) - 1)};
}
// A queue's size in the offer's profile: the full one holds two of its frames' data.
constexpr uint16_t lapQueueSize(const LapOffer& offer, uint16_t fixedSize) {
    return offer.negotiates ? FULL_QUEUE_SIZE : fixedSize;
}

struct LinkRecord {
    uint32_t deviceAddress;
    uint8_t connectionAddress;
    uint8_t vr;
    uint8_t vs;
};

// What a program may watch of a station from any thread; the station's task writes it.
enum LinkPhase : uint8_t { LINK_SEARCHING = 0, LINK_CONNECTED = 1, LINK_OPEN = 2 };
struct LinkWatch {
    std::atomic<uint32_t> peerAddress{0}; // as read from the wire, least significant byte first
    std::atomic<uint32_t> speed{0};
    // Frames from the peer taken on the connection; one more than seen means it answered since.
    std::atomic<uint32_t> exchanges{0};
    // The link's quality, for a user lining a device up: I-frames sent again, the window and
    // information field in use (0 while no link is up).
    std::atomic<uint32_t> framesResent{0};
    std::atomic<uint8_t> window{0};
    std::atomic<uint16_t> field{0};
    // Counts the times user data went into the receive queue, so a reader can block until then.
    std::mutex deliveryLock;
    std::condition_variable deliveryMade;
    uint32_t deliveries = 0;
};

// The engine, after it put user data in the receive queue.
void lapWatchDelivered(LinkWatch& watch);
// Waits up to waitMs for a delivery after the count `seen`, which it updates; true if one came.
bool lapWatchWaitDelivery(LinkWatch& watch, uint32_t& seen, uint32_t waitMs);
// Once the station's task has ended: its last delivery is then done before the watch is destroyed.
void lapWatchSettle(LinkWatch& watch);

// Reads a 32-bit address in wire order.
uint32_t lapGetAddress(const uint8_t* source);

// Writes the 32-bit address in wire order (least significant byte first).
void lapPutAddress(uint8_t* destination, uint32_t address);

// `stationAddress` is the station's own (PRIMARY_ or SECONDARY_DEVICE_ADDRESS, or one drawn).
void lapResetLink(LinkRecord& link, uint32_t stationAddress);
uint32_t lapBaudFromCode(uint8_t code);

// The fixed list; lapBuildOfferParams writes any offer's (a negotiating offer's without the
// entries that equal the defaults), at most LAP_PARAMS_LENGTH bytes, and returns its length.
uint16_t lapBuildParams(uint8_t* destination);
uint16_t lapBuildOfferParams(uint8_t* destination, const LapOffer& offer);
uint8_t* lapPutParam(uint8_t* destination, uint8_t pi, uint8_t pv);
// Looks at up to seven entries within listLength bytes; an entry running past the end stops the
// search with 0.
uint8_t lapFindParam(const uint8_t* list, uint16_t listLength, uint8_t pi);
uint8_t lapAddressMatches(const LinkRecord& link, const uint8_t* address);

using LapInfoWriter = uint16_t (*)(uint8_t* destination, uint8_t hint);
uint16_t lapPutDiscoveryInfo(uint8_t* destination, uint8_t hint);
// destinationAddress may be nullptr (broadcast); writer may be nullptr; `flags` the discovery
// flags (slot count, new address).
uint16_t lapBuildXidCommand(uint8_t* destination, const LinkRecord& link,
                            const uint8_t* destinationAddress, uint8_t slot, LapInfoWriter writer,
                            uint8_t hint, uint8_t flags = 0);
uint16_t lapBuildXidResponse(uint8_t* destination, const LinkRecord& link,
                             const uint8_t* destinationAddress, uint8_t flags, uint8_t slot,
                             LapInfoWriter writer, uint8_t hint);
uint16_t lapBuildSnrm(uint8_t* destination, const LinkRecord& link,
                      const uint8_t* destinationAddress, const LapOffer& offer = LAP_FIXED_OFFER);
uint16_t lapBuildUaParams(uint8_t* destination, const LinkRecord& link,
                          const uint8_t* destinationAddress,
                          const LapOffer& offer = LAP_FIXED_OFFER);
uint16_t lapBuildUa(uint8_t* destination, const LinkRecord& link);
// The primary's DISC (`command`) or the secondary's RD, with P/F.
uint16_t lapBuildDisc(uint8_t* destination, const LinkRecord& link, bool command);
void lapPutIHeaderCommand(uint8_t* destination, const LinkRecord& link);
void lapPutIHeaderResponse(uint8_t* destination, const LinkRecord& link);

void lapSendRrCommand(ByteLink& byteLink, const LinkRecord& link);
void lapSendRrResponse(ByteLink& byteLink, const LinkRecord& link);
void lapSendTestResponse(ByteLink& byteLink, const LinkRecord& link, const uint8_t* sourceAddress);

// Reads frames until one whose control byte AND mask equals match; answers TEST commands and keeps
// vr/vs on the way. 0 when a read fails, or (stop set) on an RR of the connection; `damaged` as for
// sirReceiveFrame.
uint16_t lapWaitFrame(ByteLink& byteLink, LinkRecord& link, RxFrame& frame, uint8_t mask,
                      uint8_t match, bool stop, bool* damaged = nullptr);
