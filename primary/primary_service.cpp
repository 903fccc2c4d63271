// Which service the primary opens, and the devices a discovery-only primary has found.
#include <algorithm>
#include <mutex>

#include "console.h"
#include "pdu.h"
#include "primary.h"
#include "primary_engine.h"
#include "primary_upper.h"

namespace primary {

const char* serviceClass = IAS_CLASS_IRCOMM;
const char* serviceAttribute = IAS_ATTR_LSAP_SEL;
int serviceLsap = -1;
bool serviceRaw = false;
bool discoverOnly = false;

namespace {

constexpr int LSAP_LAST = 0x7F;

std::mutex discoveredLock;
std::array<LapDiscovered, PRIMARY_DISCOVERED_MAX> discovered{};
uint8_t discoveredCount = 0;

} // namespace

void primarySetService(const char* className, const char* attribute, int lsap, bool raw) {
    serviceClass = className != nullptr ? className : IAS_CLASS_IRCOMM;
    serviceAttribute = attribute != nullptr ? attribute : IAS_ATTR_LSAP_SEL;
    serviceLsap = lsap >= 0 && lsap <= LSAP_LAST ? lsap : -1;
    serviceRaw = raw;
}

void primarySetDiscoverOnly(bool on) {
    discoverOnly = on;
}

void primaryForgetDiscovered() {
    const std::lock_guard<std::mutex> guard(discoveredLock);
    discoveredCount = 0;
}

void primaryKeepDiscovered(uint16_t length) {
    const uint32_t address = lapGetAddress(&rxFrame[3]);
    const std::lock_guard<std::mutex> guard(discoveredLock);
    uint8_t slot = 0;
    while (slot < discoveredCount && discovered[slot].address != address) {
        ++slot;
    }
    if (slot == discovered.size()) {
        return; // as many as are kept
    }
    LapDiscovered& device = discovered[slot];
    device.address = address;
    const uint16_t available = length > LAP_XID_INFO_OFFSET ? length - LAP_XID_INFO_OFFSET : 0;
    device.infoLength = static_cast<uint8_t>(std::min<uint16_t>(available, device.info.size()));
    std::copy_n(rxFrame.begin() + LAP_XID_INFO_OFFSET, device.infoLength, device.info.begin());
    if (slot == discoveredCount) {
        ++discoveredCount;
    }
}

bool primaryDiscovered(uint8_t index, LapDiscovered& device) {
    const std::lock_guard<std::mutex> guard(discoveredLock);
    if (index >= discoveredCount) {
        return false;
    }
    device = discovered[index];
    return true;
}

void primaryStartService() {
    if (serviceLsap < 0) {
        engineState.store(PRIMARY_IAS_CONNECT);
        primarySendIasConnect();
        return;
    }
    peerComLsap = static_cast<uint8_t>(serviceLsap);
    engineState.store(PRIMARY_COMM_CONNECT);
    primarySendCommConnect();
}

void primaryServiceConnected() {
    if (!serviceRaw) {
        engineState.store(PRIMARY_COMM_OPEN);
        primarySendCommParams();
        return;
    }
    primaryOpenChannel();
    primarySendRr();
}

} // namespace primary
