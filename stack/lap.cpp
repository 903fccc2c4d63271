#include "lap.h"

#include <chrono>

#include "lap_data.h"

namespace {

constexpr uint8_t LAP_XID_FORMAT = 0x01;
constexpr uint8_t LAP_XID_VERSION = 0x00;
constexpr uint8_t LAP_BROADCAST_ADDRESS_BYTE = 0xFF;
constexpr uint16_t LAP_TEST_RESPONSE_LENGTH = 10;
constexpr int LAP_MAX_PARAMS = 7;

void putAddressOrBroadcast(uint8_t* destination, const uint8_t* address) {
    for (int i = 0; i < 4; ++i) {
        destination[i] = address != nullptr ? address[i] : LAP_BROADCAST_ADDRESS_BYTE;
    }
}

uint8_t iControl(const LinkRecord& link) {
    return static_cast<uint8_t>(((link.vr & 7) << 5) | LAP_PF | ((link.vs & 7) << 1));
}

uint8_t rrControl(const LinkRecord& link) {
    return static_cast<uint8_t>(((link.vr & 7) << 5) | LAP_PF | LAP_RR);
}

uint16_t buildXid(uint8_t* destination, const LinkRecord& link, uint8_t address, uint8_t control,
                  const uint8_t* destinationAddress, uint8_t flags, uint8_t slot,
                  LapInfoWriter writer, uint8_t hint) {
    destination[0] = address;
    destination[1] = control;
    destination[2] = LAP_XID_FORMAT;
    lapPutAddress(destination + 3, link.deviceAddress);
    putAddressOrBroadcast(destination + 7, destinationAddress);
    destination[11] = flags;
    destination[12] = slot;
    destination[13] = LAP_XID_VERSION;
    uint16_t length = 14;
    if (writer != nullptr) {
        length = static_cast<uint16_t>(length + writer(destination + 14, hint));
    }
    return length;
}

} // namespace

void lapPutAddress(uint8_t* destination, uint32_t address) {
    for (int i = 0; i < 4; ++i) {
        destination[i] = static_cast<uint8_t>(address >> (8 * i));
    }
}

uint32_t lapGetAddress(const uint8_t* source) {
    return static_cast<uint32_t>(source[0]) | static_cast<uint32_t>(source[1]) << 8 |
           static_cast<uint32_t>(source[2]) << 16 | static_cast<uint32_t>(source[3]) << 24;
}

void lapResetLink(LinkRecord& link, uint32_t stationAddress) {
    link.deviceAddress = stationAddress;
    link.connectionAddress = LAP_RESET_CONNECTION_ADDRESS;
    link.vr = 0;
    link.vs = 0;
}

uint32_t lapBaudFromCode(uint8_t code) {
    if ((code & 0x20) != 0) {
        return 115200;
    }
    if ((code & 0x04) != 0) {
        return 19200;
    }
    return 9600;
}

uint8_t* lapPutParam(uint8_t* destination, uint8_t pi, uint8_t pv) {
    destination[0] = pi;
    destination[1] = 1;
    destination[2] = pv;
    return destination + 3;
}

uint16_t lapBuildParams(uint8_t* destination) {
    return lapBuildOfferParams(destination, LAP_FIXED_OFFER);
}

uint16_t lapBuildOfferParams(uint8_t* destination, const LapOffer& offer) {
    // A negotiating station leaves out what equals the default (500 ms maximum turnaround, 3 s
    // disconnect threshold): at 9600 bit/s every byte of the SNRM and UA is another chance for
    // stray light to spoil them.
    const bool all = !offer.negotiates;
    const bool brief = offer.negotiates && offer.brief;
    uint8_t* position = destination;
    position = lapPutParam(position, 0x01, offer.baudBits);
    if (all) {
        position = lapPutParam(position, 0x82, 0x01); // maximum turnaround: 500 ms
    }
    position = lapPutParam(position, 0x83, offer.dataSizeBits);
    position = lapPutParam(position, 0x84, offer.windowBits);
    if (!brief || offer.additionalBofBits != LAP_NO_ADDITIONAL_BOFS) {
        position = lapPutParam(position, 0x85, offer.additionalBofBits);
    }
    if (!brief || offer.minTurnaroundBits != LAP_NO_TURNAROUND) {
        position = lapPutParam(position, 0x86, offer.minTurnaroundBits);
    }
    if (all) {
        position = lapPutParam(position, 0x08, 0x01); // disconnect threshold: 3 s
    }
    return static_cast<uint16_t>(position - destination);
}

uint8_t lapFindParam(const uint8_t* list, uint16_t listLength, uint8_t pi) {
    uint16_t offset = 0;
    for (int entry = 0; entry < LAP_MAX_PARAMS; ++entry) {
        if (listLength - offset < 2) {
            return 0;
        }
        const uint8_t entryLength = list[offset + 1];
        if (listLength - offset - 2 < entryLength) {
            return 0; // runs past the end of the list
        }
        if (list[offset] == pi) {
            // An empty entry still yields the byte after its length, as long as the list has it.
            return offset + 2 < listLength ? list[offset + 2] : 0;
        }
        offset = static_cast<uint16_t>(offset + 2 + entryLength);
    }
    return 0;
}

uint8_t lapAddressMatches(const LinkRecord& link, const uint8_t* address) {
    uint8_t own[4];
    lapPutAddress(own, link.deviceAddress);
    bool isOwn = true;
    bool isBroadcast = true;
    for (int i = 0; i < 4; ++i) {
        isOwn = isOwn && address[i] == own[i];
        isBroadcast = isBroadcast && address[i] == LAP_BROADCAST_ADDRESS_BYTE;
    }
    return isOwn || isBroadcast ? 1 : 0;
}

uint16_t lapPutDiscoveryInfo(uint8_t* destination, uint8_t hint) {
    if (hint == 0) {
        destination[0] = 0x02;
        return 1;
    }
    destination[0] = 0x82; // first hint byte, extension bit set: a second one follows
    destination[1] = hint;
    return 2;
}

uint16_t lapBuildXidCommand(uint8_t* destination, const LinkRecord& link,
                            const uint8_t* destinationAddress, uint8_t slot, LapInfoWriter writer,
                            uint8_t hint, uint8_t flags) {
    return buildXid(destination, link, 0xFF, LAP_XID_COMMAND | LAP_PF, destinationAddress, flags,
                    slot, writer, hint);
}

uint16_t lapBuildXidResponse(uint8_t* destination, const LinkRecord& link,
                             const uint8_t* destinationAddress, uint8_t flags, uint8_t slot,
                             LapInfoWriter writer, uint8_t hint) {
    return buildXid(destination, link, 0xFE, LAP_XID_RESPONSE | LAP_PF, destinationAddress, flags,
                    slot, writer, hint);
}

uint16_t lapBuildSnrm(uint8_t* destination, const LinkRecord& link,
                      const uint8_t* destinationAddress, const LapOffer& offer) {
    destination[0] = 0xFF;
    destination[1] = LAP_SNRM | LAP_PF;
    lapPutAddress(destination + 2, link.deviceAddress);
    putAddressOrBroadcast(destination + 6, destinationAddress);
    destination[10] = link.connectionAddress;
    return static_cast<uint16_t>(11 + lapBuildOfferParams(destination + 11, offer));
}

uint16_t lapBuildUaParams(uint8_t* destination, const LinkRecord& link,
                          const uint8_t* destinationAddress, const LapOffer& offer) {
    destination[0] = link.connectionAddress;
    destination[1] = LAP_UA | LAP_PF;
    lapPutAddress(destination + 2, link.deviceAddress);
    putAddressOrBroadcast(destination + 6, destinationAddress);
    return static_cast<uint16_t>(10 + lapBuildOfferParams(destination + 10, offer));
}

uint16_t lapBuildUa(uint8_t* destination, const LinkRecord& link) {
    destination[0] = link.connectionAddress;
    destination[1] = LAP_UA | LAP_PF;
    return 2;
}

uint16_t lapBuildDisc(uint8_t* destination, const LinkRecord& link, bool command) {
    destination[0] =
        command ? static_cast<uint8_t>(link.connectionAddress | LAP_CR) : link.connectionAddress;
    destination[1] = LAP_DISC | LAP_PF;
    return 2;
}

void lapPutIHeaderCommand(uint8_t* destination, const LinkRecord& link) {
    destination[0] = static_cast<uint8_t>(link.connectionAddress | LAP_CR);
    destination[1] = iControl(link);
}

void lapPutIHeaderResponse(uint8_t* destination, const LinkRecord& link) {
    destination[0] = link.connectionAddress;
    destination[1] = iControl(link);
}

void lapSendRrCommand(ByteLink& byteLink, const LinkRecord& link) {
    const uint8_t frame[2] = {static_cast<uint8_t>(link.connectionAddress | LAP_CR),
                              rrControl(link)};
    sirSendFrame(byteLink, frame, sizeof frame);
}

void lapSendRrResponse(ByteLink& byteLink, const LinkRecord& link) {
    const uint8_t frame[2] = {link.connectionAddress, rrControl(link)};
    sirSendFrame(byteLink, frame, sizeof frame);
}

void lapSendTestResponse(ByteLink& byteLink, const LinkRecord& link, const uint8_t* sourceAddress) {
    uint8_t frame[LAP_TEST_RESPONSE_LENGTH];
    frame[0] = 0x00;
    frame[1] = LAP_TEST | LAP_PF;
    lapPutAddress(frame + 2, link.deviceAddress);
    for (int i = 0; i < 4; ++i) {
        frame[6 + i] = sourceAddress[i];
    }
    sirSendFrame(byteLink, frame, LAP_TEST_RESPONSE_LENGTH);
}

uint16_t lapWaitFrame(ByteLink& byteLink, LinkRecord& link, RxFrame& frame, uint8_t mask,
                      uint8_t match, bool stop, bool* damaged) {
    for (;;) {
        // Zeroed per read so nothing of an earlier, longer frame lingers behind this one.
        frame.fill(0);
        const uint16_t length = sirReceiveFrame(byteLink, frame, damaged);
        if (length == 0) {
            return 0;
        }
        if (length < 2) {
            continue; // no control byte: nothing to keep, nothing to match
        }
        const uint8_t address = frame[0];
        const uint8_t control = frame[1];
        const bool ofConnection = (address & 0xFE) == link.connectionAddress;
        if ((address & LAP_CR) != 0) {
            if ((control & 0xEF) == LAP_TEST && length >= 10 &&
                lapAddressMatches(link, frame.data() + 6) != 0) {
                lapSendTestResponse(byteLink, link, frame.data() + 2);
            }
        } else if ((control & 1) != 0) {
            if ((control & 0x0F) == LAP_RR && ofConnection) {
                link.vs = lapNr(control);
                if (stop) {
                    return 0;
                }
            }
        } else if (ofConnection && lapNs(control) == link.vr) {
            lapAcceptIFrame(link, control);
        }
        if ((control & mask) == match) {
            return length;
        }
    }
}

void lapWatchDelivered(LinkWatch& watch) {
    // Notified under the lock, so lapWatchSettle orders the last notification before the exit.
    const std::lock_guard<std::mutex> guard(watch.deliveryLock);
    ++watch.deliveries;
    watch.deliveryMade.notify_all();
}

void lapWatchSettle(LinkWatch& watch) {
    const std::lock_guard<std::mutex> guard(watch.deliveryLock);
}

bool lapWatchWaitDelivery(LinkWatch& watch, uint32_t& seen, uint32_t waitMs) {
    std::unique_lock<std::mutex> guard(watch.deliveryLock);
    const bool came = watch.deliveryMade.wait_for(guard, std::chrono::milliseconds(waitMs),
                                                  [&] { return watch.deliveries != seen; });
    seen = watch.deliveries;
    return came;
}
