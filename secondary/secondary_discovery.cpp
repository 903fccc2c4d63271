// The secondary's part in discovery: the answer to an XID command, in slot 0 with the fixed
// address, or in the full profile in a slot drawn for each round with an address drawn at random.
#include <cstring>

#include "console.h"
#include "secondary_station.h"

namespace secondary {

namespace {

// XID command: destination 7..10, flags 11, slot 12.
constexpr uint16_t XID_MIN_LENGTH = 13;

} // namespace

IrErr SecondaryStation::setIdentity(const char* name, uint16_t hints) {
    if (!lapNicknameValid(name)) {
        return IR_ERR_ARG;
    }
    nickname.fill('\0');
    std::memcpy(nickname.data(), name, strnlen(name, LAP_NICKNAME_MAX));
    hintBits = hints;
    return IR_OK;
}

uint16_t SecondaryStation::putDiscoveryInfo(uint8_t* destination) const {
    if (nickname[0] == '\0') {
        return lapPutDiscoveryInfo(destination, IRCOMM_HINT);
    }
    return lapPutIdentity(destination, hintBits, nickname.data());
}

bool SecondaryStation::answersSlot(uint8_t flags, uint8_t slot) {
    if (!ownAddress.drawn) {
        return slot == 0;
    }
    if (slot == LAP_XID_FINAL_SLOT) {
        lastSlot = slot;
        return false;
    }
    // A round begins after the final slot, or with a slot not after the last one heard (the final
    // was lost, or a computer repeats its one slot).
    if (lastSlot == LAP_XID_FINAL_SLOT || slot <= lastSlot) {
        if ((flags & LAP_XID_NEW_ADDRESS) != 0 && engineState < SEC_LINKED) {
            ownAddress.value = random.address();
            link.record.deviceAddress = ownAddress.value;
        }
        chosenSlot = random.slot(lapXidSlotCount(flags));
        answeredRound = false;
    }
    lastSlot = slot;
    // A command lost in our slot still leaves the round's later slots.
    if (answeredRound || slot < chosenSlot) {
        return false;
    }
    answeredRound = true;
    return true;
}

bool SecondaryStation::handleXid(uint16_t length) {
    const RxFrame& rx = link.rx;
    if (length < XID_MIN_LENGTH) {
        return false;
    }
    for (int i = 7; i <= 10; ++i) {
        if (rx[i] != 0xFF) {
            return false; // addressed to one device: discovery is answered only to broadcast
        }
    }
    const uint8_t slot = rx[12];
    if (!answersDiscovery.load() || !answersSlot(rx[11], slot)) {
        // Unanswered while nobody waits for a link.
        return false;
    }
    consolePrint("\nIrLAP addr:\t%02X-%02X-%02X-%02X", rx[3], rx[4], rx[5], rx[6]);
    uint16_t reply =
        lapBuildXidResponse(link.tx.data(), link.record, &rx[3], rx[11], slot, nullptr, 0);
    reply = static_cast<uint16_t>(reply + putDiscoveryInfo(link.tx.data() + reply));
    sendTx(reply);
    setState(SEC_DISCOVERED);
    return true;
}

} // namespace secondary
