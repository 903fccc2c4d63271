// Discovery from both ends in this process: a computer-role port's search, and the identity a
// device-role port answers it with.
#include "discovery.h"
#include "irs_local.h"
#include "irs_session.h"

static_assert(IRS_NICKNAME_SIZE == LAP_NICKNAME_MAX + 1, "a nickname the stack sends whole");

int irsLocalSetIdentity(IrsPort& port, const char* nickname, uint16_t hints) {
    std::unique_lock<std::mutex> hold(port.operationLock, std::defer_lock);
    if (!irsLockOutsideLog(hold)) {
        return IRS_ERR_STATE; // the call under way may be the one waiting for the log
    }
    if (port.stationLive.load()) {
        return IRS_ERR_STATE; // its answer is being sent
    }
    return irsFromIrErr(port.device->setIdentity(nickname, hints));
}

int irsLocalDiscover(IrsPort& portRef, int timeoutMs, irs_device* devices, int maxDevices) {
    IrsPort* const port = &portRef;
    const std::lock_guard<std::mutex> hold(port->operationLock);
    if (port->closing.load()) {
        return IRS_ERR_HANDLE;
    }
    if (port->inUse()) {
        return IRS_ERR_STATE;
    }
    port->computer->setDiscoverOnly(true);
    irsRestart(*port);
    {
        // Until the first round in which a device answered.
        std::unique_lock<std::mutex> wait(port->closeLock);
        port->closeSignal.wait_for(wait, std::chrono::milliseconds(timeoutMs), [&port] {
            return port->closing.load() || port->computer->answeredRounds() > 0;
        });
    }
    const bool lost = port->line.lostError() != 0;
    port->stopStation();
    port->computer->setDiscoverOnly(false);
    if (port->closing.load()) {
        return IRS_ERR_HANDLE;
    }
    if (lost) {
        return IRS_ERR_PORT_LOST;
    }
    int count = 0;
    LapDiscovered found;
    while (count < maxDevices && port->computer->discovered(static_cast<uint8_t>(count), found)) {
        irsDeviceFrom(found, devices[count]);
        ++count;
    }
    return count;
}

void irsDeviceFrom(const LapDiscovered& found, irs_device& device) {
    device = irs_device{};
    device.address = found.address;
    device.hints = lapHintBits(found);
    irsAddressText(found.address, device.address_text);
    lapHintNames(found, device.hint_names);
    lapNickname(found, device.nickname);
}
