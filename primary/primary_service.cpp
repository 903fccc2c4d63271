// Which service the primary opens, the devices a discovery-only primary has found, and the start.
#include <algorithm>
#include <cstring>

#include "primary_station.h"

namespace primary {

namespace {

constexpr int LSAP_LAST = 0x7F;

} // namespace

IrErr PrimaryStation::setService(const char* className, const char* attribute, int lsap, bool raw) {
    const char* const chosenClass = className != nullptr ? className : IAS_CLASS_IRCOMM;
    const char* const chosenAttribute = attribute != nullptr ? attribute : IAS_ATTR_LSAP_SEL;
    // Measured without running past the limit: a name need not end within reach.
    const size_t classLength = strnlen(chosenClass, IAS_NAMES_MAX + 1);
    const size_t attributeLength = strnlen(chosenAttribute, IAS_NAMES_MAX + 1);
    if (classLength + attributeLength > IAS_NAMES_MAX) {
        return IR_ERR_ARG;
    }
    serviceClass = chosenClass;
    serviceAttribute = chosenAttribute;
    serviceLsap = lsap >= 0 && lsap <= LSAP_LAST ? lsap : -1;
    serviceRaw = raw;
    return IR_OK;
}

void PrimaryStation::init() {
    timing.choose(linkOffer.negotiates, port);
    port.setNoiseQuietMs(linkOffer.negotiates ? SIR_NOISE_QUIET_MS : 0);
    timing.markStart();
    error.store(IR_OK);
    missingService.store(0);
    isHalted.store(false);
    linkEndWanted.store(false);
    discSent = false;
    engineState.store(PRIMARY_START_DELAY);
    shownState = 0xFF;
    peerComLsap = 0;
    conn.setUp(linkOffer, ownAddress.value);
    roundsAnswered.store(0);
    askNewAddress = false;
    unansweredRounds = 0;
    lineUntouched = false;
    const IrErr reset = port.reset();
    if (reset != IR_OK) {
        // The first discovery resets the port again; until then the program can see why.
        error.store(reset);
        timing.takeFreshStart();
    }
    textsSeen = conn.textsQueued();
    const std::lock_guard<std::mutex> guard(discoveredLock);
    foundCount = 0;
}

void PrimaryStation::keepDiscovered(uint16_t length) {
    const uint32_t address = lapGetAddress(&conn.rx[3]);
    const std::lock_guard<std::mutex> guard(discoveredLock);
    uint8_t slot = 0;
    while (slot < foundCount && found[slot].address != address) {
        ++slot;
    }
    if (slot == found.size()) {
        return; // as many as are kept
    }
    LapDiscovered& device = found[slot];
    device.address = address;
    const uint16_t available = length > LAP_XID_INFO_OFFSET ? length - LAP_XID_INFO_OFFSET : 0;
    device.infoLength = static_cast<uint8_t>(std::min<uint16_t>(available, device.info.size()));
    std::copy_n(conn.rx.begin() + LAP_XID_INFO_OFFSET, device.infoLength, device.info.begin());
    if (slot == foundCount) {
        ++foundCount;
    }
}

bool PrimaryStation::discovered(uint8_t index, LapDiscovered& device) {
    const std::lock_guard<std::mutex> guard(discoveredLock);
    if (index >= foundCount) {
        return false;
    }
    device = found[index];
    return true;
}

} // namespace primary
