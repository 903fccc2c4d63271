// Discovery: its start and the answer that leads to the SNRM, for both profiles; and the full
// profile's rounds of slots, each a command and a wait for answers, then the final command; the
// devices found are kept or the first one connected, and a round in which two answers shared an
// address is followed by one that asks every device for a new address.
#include <algorithm>

#include "console.h"
#include "primary_station.h"

namespace primary {

namespace {

constexpr uint8_t FIRST_XID_SLOT = 0x00;
// An answer with the addresses at 3 to 10.
constexpr uint16_t XID_ANSWER_MIN = 12;

} // namespace

void PrimaryStation::startDiscovery() {
    setState(PRIMARY_DISCOVERY);
    // The start's reset still holds, and so does the last one after a round nobody answered.
    const bool resetHolds = timing.takeFreshStart() || lineUntouched;
    lineUntouched = false;
    if (!resetHolds) {
        const IrErr reset = port.reset();
        if (reset != IR_OK) {
            fail(reset, "port reset failed");
            return;
        }
    }
    lapResetLink(conn.record, ownAddress.value);
    conn.resetWindow();
    // A new link starts at 9600 bit/s with nothing asked of us.
    conn.terms = LAP_FIXED_TERMS;
    port.setPeerNeeds(lapLeadBofs(LAP_FIXED_TERMS), 0);
    if (slotted()) {
        beginRound();
        return;
    }
    sendHeld(lapBuildXidCommand(conn.tx.data(), conn.record, nullptr, FIRST_XID_SLOT, nullptr, 0));
}

void PrimaryStation::acceptXidResponse(uint16_t length) {
    if (discoverOnly) {
        keepDiscovered(length);
        setState(PRIMARY_START_DELAY); // and discover again
        return;
    }
    conn.watch().peerAddress = lapGetAddress(&conn.rx[3]);
    consolePrint("\nIrLAP addr:\t%02X-%02X-%02X-%02X", conn.rx[3], conn.rx[4], conn.rx[5],
                 conn.rx[6]);
    // The final XID is sent once; the SNRM built over it in the same step is what gets repeated.
    const uint16_t finalLength = lapBuildXidCommand(
        conn.tx.data(), conn.record, nullptr, LAP_XID_FINAL_SLOT, lapPutDiscoveryInfo, IRCOMM_HINT);
    if (!sent(port.sendFrame(conn.tx.data(), finalLength))) {
        return;
    }
    setState(PRIMARY_CONNECTING);
    sendSnrm(false);
}

void PrimaryStation::sendSnrm(bool repeat) {
    std::array<uint8_t, 4> to{};
    lapPutAddress(to.data(), conn.watch().peerAddress);
    LapOffer offer = linkOffer;
    offer.brief = repeat;
    sendHeld(lapBuildSnrm(conn.tx.data(), conn.record, to.data(), offer));
}

void PrimaryStation::beginRound() {
    // Discovery alone looks for every device; a connect wants the first, and a lone device
    // answers a round of one slot at once.
    const bool wide = discoverOnly || askNewAddress ||
                      unansweredRounds % LAP_WIDE_ROUND_EVERY == LAP_WIDE_ROUND_EVERY - 1;
    roundSlots = wide ? LAP_DISCOVERY_SLOTS : 1;
    roundSlot = 0;
    roundCount = 0;
    roundConflict = false;
    sendSlot();
}

void PrimaryStation::sendSlot() {
    const auto flags = static_cast<uint8_t>(lapXidSlotsFlags(roundSlots) |
                                            (askNewAddress ? LAP_XID_NEW_ADDRESS : 0));
    const uint16_t length =
        roundSlot == LAP_XID_FINAL_SLOT
            ? lapBuildXidCommand(conn.tx.data(), conn.record, nullptr, roundSlot,
                                 lapPutDiscoveryInfo, IRCOMM_HINT, flags)
            : lapBuildXidCommand(conn.tx.data(), conn.record, nullptr, roundSlot, nullptr, 0,
                                 flags);
    timing.markSlot();
    sent(port.sendFrame(conn.tx.data(), length));
}

void PrimaryStation::stepRound() {
    if (timing.answerPending()) {
        bool damaged = false;
        const uint16_t length = waitFrame(PRIMARY_DISCOVERY, damaged);
        if (engineState.load() == PRIMARY_DISCOVERY && length >= XID_ANSWER_MIN &&
            (conn.rx[1] & 0xEF) == LAP_XID_RESPONSE) {
            takeRoundAnswer(length);
            if (roundCount > 0 && roundSlots == 1 && !discoverOnly) {
                endRound(); // a connect's one slot answered: the link is next
            }
        }
    } else if (port.frameBegun(0)) {
        timing.markSeen();
    } else if (timing.slotDue()) {
        if (roundSlot + 1 < roundSlots) {
            ++roundSlot;
            sendSlot();
        } else {
            endRound();
        }
    }
}

void PrimaryStation::takeRoundAnswer(uint16_t length) {
    if (lapAddressMatches(conn.record, &conn.rx[7]) == 0) {
        return; // another computer's discovery
    }
    const uint32_t address = lapGetAddress(&conn.rx[3]);
    const auto taken =
        std::find_if(roundFound.begin(), roundFound.begin() + roundCount,
                     [address](const LapDiscovered& device) { return device.address == address; });
    if (address == ownAddress.value || taken != roundFound.begin() + roundCount) {
        roundConflict = true;
        return;
    }
    if (roundCount == roundFound.size()) {
        return; // as many as are kept
    }
    LapDiscovered& device = roundFound[roundCount++];
    device.address = address;
    const uint16_t available = length > LAP_XID_INFO_OFFSET ? length - LAP_XID_INFO_OFFSET : 0;
    device.infoLength = static_cast<uint8_t>(std::min<uint16_t>(available, device.info.size()));
    std::copy_n(conn.rx.begin() + LAP_XID_INFO_OFFSET, device.infoLength, device.info.begin());
}

void PrimaryStation::endRound() {
    roundSlot = LAP_XID_FINAL_SLOT;
    sendSlot();
    if (engineState.load() != PRIMARY_DISCOVERY) {
        return; // the port failed
    }
    if (roundConflict && !askNewAddress) {
        // Answers that share an address cannot be told apart: every device draws a new one, once;
        // devices that keep theirs are taken as they came, so discovery never loops.
        askNewAddress = true;
        beginRound();
        return;
    }
    askNewAddress = false;
    if (roundCount == 0 || discoverOnly) {
        lineUntouched = true; // nothing changed the line: the next round needs no reset
        if (roundCount == 0) {
            ++unansweredRounds;
        } else {
            publishRound();
        }
        searchAgain();
    } else {
        unansweredRounds = 0;
        const uint32_t address = roundFound[0].address;
        conn.watch().peerAddress = address;
        std::array<uint8_t, 4> to{};
        lapPutAddress(to.data(), address);
        consolePrint("\nIrLAP addr:\t%02X-%02X-%02X-%02X", to[0], to[1], to[2], to[3]);
        setState(PRIMARY_CONNECTING);
        sendSnrm(false);
    }
}

void PrimaryStation::publishRound() {
    {
        const std::lock_guard<std::mutex> guard(discoveredLock);
        for (uint8_t index = 0; index < roundCount; ++index) {
            const LapDiscovered& device = roundFound[index];
            const auto end = found.begin() + foundCount;
            auto kept = std::find_if(found.begin(), end, [&device](const LapDiscovered& other) {
                return other.address == device.address;
            });
            if (kept == end) {
                if (foundCount == found.size()) {
                    break;
                }
                ++foundCount;
            }
            *kept = device;
        }
    }
    roundsAnswered.fetch_add(1);
    if (roundNotify != nullptr) {
        roundNotify(roundContext);
    }
}

} // namespace primary
