// The port calls of the C interface: open and close, discovery, connect and listen. Each checks
// its arguments and the handle before it touches anything.
#include <cstdio>
#include <cstring>
#include <new>

#include "discovery.h"
#include "irs_session.h"
#include "lap_terms.h"
#include "port_setup.h"

namespace {

constexpr uint32_t MIN_SPEED = 9600;
// How often a wait for the channel looks at the station.
constexpr uint32_t LOOK_MS = 10;

int portOpenError() {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_ACCESS_DENIED ? IRS_ERR_PORT
                                                                         : IRS_ERR_IO;
}

bool copyName(const char* name, std::array<char, IAS_NAMES_MAX + 1>& to) {
    to.fill('\0');
    if (name == nullptr) {
        return true;
    }
    const size_t length = std::strlen(name);
    if (length == 0 || length > IAS_NAMES_MAX) {
        return false;
    }
    std::memcpy(to.data(), name, length);
    return true;
}

const char* nameOrNull(const std::array<char, IAS_NAMES_MAX + 1>& name) {
    return name[0] != '\0' ? name.data() : nullptr;
}

// Starts the station afresh with the channel closed.
void restart(irs_port& port) {
    port.channel.open.store(false);
    port.channel.ended.store(false);
    port.stopStation();
    if (port.computer) {
        port.computer->init();
        port.computer->startTask();
    } else {
        port.device->setDemoAnswers(false);
        port.device->init();
        port.device->startTask();
    }
}

// Waits until the channel opens; stops the station on any failure.
int awaitChannel(irs_port& port, int timeoutMs, irs_channel** channel) {
    const IrsDeadline deadline(timeoutMs);
    int result = IRS_ERR_TIMEOUT;
    for (;;) {
        if (port.connection().phase() == LINK_OPEN) {
            port.channel.open.store(true);
            port.updateSignal();
            *channel = &port.channel;
            return IRS_OK;
        }
        if (port.closing.load()) {
            result = IRS_ERR_HANDLE;
        } else if (port.line.lostError() != 0) {
            result = IRS_ERR_PORT_LOST;
        } else if (port.computer && port.computer->serviceMissing() > 0) {
            result = IRS_ERR_NO_SERVICE;
        } else if (!deadline.passed()) {
            std::unique_lock<std::mutex> hold(port.closeLock);
            port.closeSignal.wait_for(hold, std::chrono::milliseconds(deadline.wait(LOOK_MS)));
            continue;
        }
        break;
    }
    port.stopStation();
    return result;
}

int connectTo(irs_port* handle, const char* className, const char* attribute, int lsap, int mode,
              int timeoutMs, irs_channel** channel) {
    if (channel != nullptr) {
        *channel = nullptr;
    }
    const auto port = irsFindPort(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (channel == nullptr || (mode != IRS_MODE_IRCOMM && mode != IRS_MODE_RAW)) {
        return IRS_ERR_ARG;
    }
    const std::lock_guard<std::mutex> hold(port->operationLock);
    if (!copyName(className, port->className) || !copyName(attribute, port->attribute)) {
        return IRS_ERR_ARG;
    }
    if (port->channel.open.load()) {
        return IRS_ERR_STATE;
    }
    const bool raw = mode == IRS_MODE_RAW;
    if (port->computer) {
        if (lsap < -1 || lsap > 127) {
            return IRS_ERR_ARG;
        }
        port->stopStation();
        port->computer->setDiscoverOnly(false);
        const IrErr set = port->computer->setService(nameOrNull(port->className),
                                                     nameOrNull(port->attribute), lsap, raw);
        if (set != IR_OK) {
            return irsFromIrErr(set);
        }
    } else {
        port->stopStation();
        const IrErr set =
            port->device->setService(nameOrNull(port->className), nameOrNull(port->attribute), raw);
        if (set != IR_OK) {
            return irsFromIrErr(set);
        }
    }
    restart(*port);
    return awaitChannel(*port, timeoutMs, channel);
}

} // namespace

extern "C" int irs_open(const char* path, char variant, uint32_t maxSpeed, int role,
                        irs_port** port) {
    if (port != nullptr) {
        *port = nullptr;
    }
    const TransceiverVariant* transceiver = transceiverVariantNamed(variant);
    if (port == nullptr || path == nullptr || path[0] == '\0' || transceiver == nullptr ||
        (maxSpeed != 0 && maxSpeed < MIN_SPEED) ||
        (role != IRS_ROLE_COMPUTER && role != IRS_ROLE_DEVICE)) {
        return IRS_ERR_ARG;
    }
    std::shared_ptr<irs_port> opened(new (std::nothrow) irs_port(*transceiver, role));
    if (!opened) {
        return IRS_ERR_NO_MEMORY;
    }
    if (!opened->line.setPortName(path)) {
        return IRS_ERR_ARG;
    }
    // A missing or busy port is an error now rather than at the first discovery.
    const HANDLE probe = portSetupOpen(path);
    if (probe == INVALID_HANDLE_VALUE) {
        return portOpenError();
    }
    CloseHandle(probe);
    const uint8_t bits =
        lapBaudBitsUpTo(transceiver->baudBits, maxSpeed != 0 ? maxSpeed : UINT32_MAX);
    if (opened->computer) {
        opened->computer->setOffer(lapFullOffer(bits));
    } else {
        opened->device->setOffer(lapFullOffer(bits));
    }
    irsLogInstall();
    if (!irsRegister(opened)) {
        return IRS_ERR_NO_MEMORY;
    }
    *port = opened.get();
    return IRS_OK;
}

extern "C" int irs_close(irs_port* handle) {
    const auto port = irsUnregister(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    port->closing.store(true);
    port->closeSignal.notify_all();
    const std::lock_guard<std::mutex> hold(port->operationLock);
    port->channel.open.store(false);
    port->stopStation();
    port->updateSignal();
    return IRS_OK;
}

extern "C" int irs_discover(irs_port* handle, int timeoutMs, irs_device* devices, int maxDevices) {
    const auto port = irsFindPort(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (devices == nullptr || maxDevices <= 0 || timeoutMs <= 0) {
        return IRS_ERR_ARG;
    }
    if (!port->computer) {
        return IRS_ERR_STATE;
    }
    const std::lock_guard<std::mutex> hold(port->operationLock);
    if (port->channel.open.load()) {
        return IRS_ERR_STATE;
    }
    port->computer->setDiscoverOnly(true);
    restart(*port);
    {
        std::unique_lock<std::mutex> wait(port->closeLock);
        port->closeSignal.wait_for(wait, std::chrono::milliseconds(timeoutMs),
                                   [&port] { return port->closing.load(); });
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
        std::array<uint8_t, 4> wire{};
        lapPutAddress(wire.data(), found.address);
        std::snprintf(device.address_text, sizeof device.address_text, "%02X-%02X-%02X-%02X",
                      wire[0], wire[1], wire[2], wire[3]);
        lapHintNames(found, device.hint_names);
        lapNickname(found, device.nickname);
        ++count;
    }
    return count;
}

extern "C" int irs_connect(irs_port* port, const char* className, const char* attribute, int mode,
                           int timeoutMs, irs_channel** channel) {
    const auto found = irsFindPort(port);
    if (found && !found->computer) {
        return IRS_ERR_STATE;
    }
    return connectTo(port, className, attribute, -1, mode, timeoutMs, channel);
}

extern "C" int irs_connect_lsap(irs_port* port, int lsap, int mode, int timeoutMs,
                                irs_channel** channel) {
    const auto found = irsFindPort(port);
    if (found && !found->computer) {
        return IRS_ERR_STATE;
    }
    if (found && (lsap < 0 || lsap > 127)) {
        return IRS_ERR_ARG;
    }
    return connectTo(port, nullptr, nullptr, lsap, mode, timeoutMs, channel);
}

extern "C" int irs_listen(irs_port* port, const char* className, const char* attribute, int mode,
                          int timeoutMs, irs_channel** channel) {
    const auto found = irsFindPort(port);
    if (found && found->computer) {
        return IRS_ERR_STATE;
    }
    return connectTo(port, className, attribute, -1, mode, timeoutMs, channel);
}
