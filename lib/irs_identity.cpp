// The identity a device-role port answers discovery with: its nickname and hint bits.
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
    const std::lock_guard<std::mutex> hold(port->operationLock);
    if (port->stationLive.load()) {
        return IRS_ERR_STATE; // its answer is being sent
    }
    return irsFromIrErr(port->device->setIdentity(nickname, hints));
}
