// Discovery from both ends: a computer-role port's search, and the identity a device-role port
// answers it with.
#include "discovery.h"
#include "irs_session.h"

static_assert(IRS_NICKNAME_SIZE == LAP_NICKNAME_MAX + 1, "a nickname the stack sends whole");

extern "C" int irs_set_identity(irs_port* handle, const char* nickname, uint16_t hints) {
    const auto port = irsFindPort(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (!lapNicknameValid(nickname)) {
        return IRS_ERR_ARG;
    }
    if (!port->device) {
        return IRS_ERR_STATE;
    }
    std::unique_lock<std::mutex> hold(port->operationLock, std::defer_lock);
    if (!irsLockOutsideLog(hold)) {
        return IRS_ERR_STATE; // the call under way may be the one waiting for the log
    }
    if (port->stationLive.load()) {
        return IRS_ERR_STATE; // its answer is being sent
    }
    return irsFromIrErr(port->device->setIdentity(nickname, hints));
}

extern "C" int irs_discover(irs_port* handle, int timeoutMs, irs_device* devices, int maxDevices) {
    const auto port = irsFindPort(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (devices == nullptr || maxDevices <= 0 || timeoutMs <= 0) {
        return IRS_ERR_ARG;
    }
    if (!port->computer || irsInsideLog()) {
        return IRS_ERR_STATE;
    }
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
        irs_device& device = devices[count];
        device = irs_device{};
        device.address = found.address;
        device.hints = lapHintBits(found);
        irsAddressText(found.address, device.address_text);
        lapHintNames(found, device.hint_names);
        lapNickname(found, device.nickname);
        ++count;
    }
    return count;
}
