// Discovery from both ends in this process: a computer-role port's search, and the identity a
// device-role port answers it with.
#include "discovery.h"
#include "irs_local.h"

static_assert(IRS_NICKNAME_SIZE == LAP_NICKNAME_MAX + 1, "a nickname the stack sends whole");

int irsLocalSetIdentity(IrsPort& port, const char* nickname, uint16_t hints) {
    std::unique_lock<std::mutex> hold(port.local->lock, std::defer_lock);
    if (!irsLockOutsideLog(hold)) {
        return IRS_ERR_STATE; // the call under way may be the one waiting for the log
    }
    if (port.local->listened) {
        return IRS_ERR_STATE; // its answer is being sent
    }
    return port.local->port.setIdentity(nickname, hints);
}

int irsLocalDiscover(IrsPort& port, int timeoutMs, irs_device* devices, int maxDevices) {
    IrsLocal& local = *port.local;
    const std::lock_guard<std::mutex> operation(port.operationLock);
    std::unique_lock<std::mutex> hold(local.lock);
    int status = IRS_OK;
    IrsWait* const wait = irsLocalBegin(port, status);
    if (wait == nullptr) {
        return status;
    }
    const int started = local.port.discover(wait->tag, timeoutMs);
    if (started != IRS_OK) {
        *wait = IrsWait{};
        return started;
    }
    const IrPortEvent done = irsLocalAwait(port, hold, *wait);
    if (done.status != IRS_OK) {
        return done.status;
    }
    int count = 0;
    LapDiscovered found;
    while (count < maxDevices && local.port.found(static_cast<size_t>(count), found)) {
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
