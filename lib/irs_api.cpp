// The C interface, written once over the transport table: each call checks its arguments and
// its handle, then asks the port's transport; the channel calls' waits are here and nowhere else.
#include <algorithm>
#include <cstring>
#include <new>

#include "discovery.h"
#include "irs_session.h"
#include "irs_transport.h"

namespace {

constexpr uint32_t MIN_SPEED = 9600;
constexpr size_t LONG_MAX_BYTES = 0x7FFFFFFF;

// A read's or write's start: the handle, the bytes, then the channel's read or write lock
// (never waited for inside the log function) and the handle again once it is held.
int beginTransfer(const IrsChannelRef& found, const void* bytes, size_t size,
                  std::mutex IrsChannel::*lock, std::unique_lock<std::mutex>& hold) {
    if (!found) {
        return IRS_ERR_HANDLE;
    }
    if (bytes == nullptr || size == 0) {
        return IRS_ERR_ARG;
    }
    hold = std::unique_lock<std::mutex>(found.channel->*lock, std::defer_lock);
    if (!irsLockOutsideLog(hold)) {
        return IRS_ERR_STATE;
    }
    if (found.channel->generation.load() != found.generation) {
        return IRS_ERR_HANDLE; // closed since
    }
    return IRS_OK;
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

bool queryNamesFit(const char* className, const char* attribute) {
    if (className == nullptr || attribute == nullptr) {
        return false;
    }
    const size_t classLength = strnlen(className, IRS_NAME_MAX + 1);
    const size_t attributeLength = strnlen(attribute, IRS_NAME_MAX + 1);
    return classLength > 0 && attributeLength > 0 && classLength + attributeLength <= IRS_NAME_MAX;
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
    if (irsInsideLog()) {
        return IRS_ERR_STATE;
    }
    if (channel == nullptr || (mode != IRS_MODE_IRCOMM && mode != IRS_MODE_RAW)) {
        return IRS_ERR_ARG;
    }
    IrsService service;
    service.lsap = lsap;
    service.mode = mode;
    if (!copyName(className, service.className) || !copyName(attribute, service.attribute) ||
        (port->role == IRS_ROLE_COMPUTER && (lsap < -1 || lsap > 127))) {
        return IRS_ERR_ARG;
    }
    return port->transport->openChannel(*port, service, timeoutMs, channel);
}

bool isDaemonPath(const char* path) {
    return std::strncmp(path, IRS_DAEMON_PREFIX, sizeof IRS_DAEMON_PREFIX - 1) == 0;
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
    std::shared_ptr<IrsPort> opened;
    int result = IRS_OK;
    if (isDaemonPath(path)) {
#if defined(_WIN32)
        return IRS_ERR_UNSUPPORTED;
#else
        result = irsRemoteOpen(path + sizeof IRS_DAEMON_PREFIX - 1, *transceiver, maxSpeed, role,
                               opened);
#endif
    } else {
        result = irsLocalOpen(path, *transceiver, maxSpeed, role, opened);
    }
    if (result != IRS_OK) {
        return result;
    }
    irs_port* const handle = irsRegister(opened);
    if (handle == nullptr) {
        return IRS_ERR_NO_MEMORY;
    }
    *port = handle;
    return IRS_OK;
}

extern "C" int irs_set_link_limits(irs_port* handle, int maxWindow, int maxFrame) {
    const auto port = irsFindPort(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (maxWindow < 1 || maxWindow > IRS_WINDOW_MAX || maxFrame < IRS_FRAME_MIN ||
        maxFrame > IRS_FRAME_MAX) {
        return IRS_ERR_ARG;
    }
    return port->transport->setLinkLimits(*port, maxWindow, maxFrame);
}

extern "C" int irs_close(irs_port* handle) {
    if (irsInsideLog()) {
        return IRS_ERR_STATE; // the station's thread may be the one running the log
    }
    const auto port = irsUnregister(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    port->transport->close(*port);
    return IRS_OK;
}

extern "C" int irs_port_status(irs_port* handle, irs_port_state* status) {
    const auto port = irsFindPort(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (status == nullptr) {
        return IRS_ERR_ARG;
    }
    *status = irs_port_state{};
    return port->transport->portStatus(*port, *status);
}

extern "C" int irs_set_identity(irs_port* handle, const char* nickname, uint16_t hints) {
    const auto port = irsFindPort(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (!lapNicknameValid(nickname)) {
        return IRS_ERR_ARG;
    }
    if (port->role != IRS_ROLE_DEVICE) {
        return IRS_ERR_STATE;
    }
    return port->transport->setIdentity(*port, nickname, hints);
}

extern "C" int irs_discover(irs_port* handle, int timeoutMs, irs_device* devices, int maxDevices) {
    const auto port = irsFindPort(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (devices == nullptr || maxDevices <= 0 || timeoutMs <= 0) {
        return IRS_ERR_ARG;
    }
    if (port->role != IRS_ROLE_COMPUTER || irsInsideLog()) {
        return IRS_ERR_STATE;
    }
    return port->transport->discover(*port, timeoutMs, devices, maxDevices);
}

extern "C" int irs_connect(irs_port* port, const char* className, const char* attribute, int mode,
                           int timeoutMs, irs_channel** channel) {
    const auto found = irsFindPort(port);
    if (found && found->role != IRS_ROLE_COMPUTER) {
        return IRS_ERR_STATE;
    }
    return connectTo(port, className, attribute, -1, mode, timeoutMs, channel);
}

extern "C" int irs_connect_lsap(irs_port* port, int lsap, int mode, int timeoutMs,
                                irs_channel** channel) {
    const auto found = irsFindPort(port);
    if (found && found->role != IRS_ROLE_COMPUTER) {
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
    if (found && found->role != IRS_ROLE_DEVICE) {
        return IRS_ERR_STATE;
    }
    return connectTo(port, className, attribute, -1, mode, timeoutMs, channel);
}

extern "C" int irs_query(irs_port* handle, const char* className, const char* attribute,
                         int timeoutMs, irs_ias_value* values, int maxValues) {
    const auto port = irsFindPort(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (!queryNamesFit(className, attribute) || values == nullptr || maxValues <= 0) {
        return IRS_ERR_ARG;
    }
    if (port->role != IRS_ROLE_COMPUTER || irsInsideLog()) {
        return IRS_ERR_STATE;
    }
    return port->transport->query(*port, className, attribute, timeoutMs, values, maxValues);
}

extern "C" long irs_read(irs_channel* handle, void* buffer, size_t size, int timeoutMs) {
    const IrsChannelRef found = irsFindChannel(handle);
    std::unique_lock<std::mutex> hold;
    const int refused = beginTransfer(found, buffer, size, &IrsChannel::readLock, hold);
    if (refused != IRS_OK) {
        return refused;
    }
    const auto& [port, channel, generation] = found;
    const IrsTransport& transport = *port->transport;
    // Inside the log function nothing waits: the station that would answer is the one logging.
    const IrsDeadline deadline(irsInsideLog() ? 0 : timeoutMs);
    for (;;) {
        const uint32_t seen = transport.mark(*channel);
        const size_t taken = transport.take(*port, *channel, static_cast<uint8_t*>(buffer),
                                            std::min(size, LONG_MAX_BYTES));
        if (taken > 0) {
            transport.changed(*port, *channel);
            return static_cast<long>(taken);
        }
        const int failure = transport.failure(*port, *channel);
        if (failure != IRS_OK) {
            // Bytes that came just before the end are still read first.
            if (transport.available(*port, *channel) > 0) {
                continue;
            }
            if (transport.drained(*port, *channel)) {
                return failure;
            }
        }
        if (deadline.passed()) {
            return IRS_ERR_TIMEOUT;
        }
        transport.wait(*port, *channel, seen, false, deadline.left());
    }
}

extern "C" long irs_write(irs_channel* handle, const void* data, size_t size, int timeoutMs) {
    const IrsChannelRef found = irsFindChannel(handle);
    std::unique_lock<std::mutex> hold;
    const int refused = beginTransfer(found, data, size, &IrsChannel::writeLock, hold);
    if (refused != IRS_OK) {
        return refused;
    }
    const auto& [port, channel, generation] = found;
    const IrsTransport& transport = *port->transport;
    const IrsDeadline deadline(irsInsideLog() ? 0 : timeoutMs);
    const auto* bytes = static_cast<const uint8_t*>(data);
    const size_t total = std::min(size, LONG_MAX_BYTES);
    size_t queued = 0;
    while (queued < total) {
        const uint32_t seen = transport.mark(*channel);
        const int failure = transport.failure(*port, *channel);
        if (failure != IRS_OK) {
            return queued > 0 ? static_cast<long>(queued) : static_cast<long>(failure);
        }
        // Never more than there is room for, so the queueing never blocks past the deadline.
        const size_t put = transport.put(*port, *channel, bytes + queued, total - queued);
        if (put > 0) {
            queued += put;
            continue;
        }
        if (deadline.passed()) {
            break;
        }
        transport.wait(*port, *channel, seen, true, deadline.left());
    }
    transport.changed(*port, *channel);
    return queued > 0 ? static_cast<long>(queued) : static_cast<long>(IRS_ERR_TIMEOUT);
}

extern "C" long irs_available(irs_channel* handle) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    return port->transport->available(*port, *channel);
}

extern "C" int irs_fd(irs_channel* handle) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    return port->transport->fd(*port, *channel);
}

extern "C" int irs_channel_status(irs_channel* handle, irs_channel_state* status) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (status == nullptr) {
        return IRS_ERR_ARG;
    }
    *status = irs_channel_state{};
    return port->transport->channelStatus(*port, *channel, *status);
}

extern "C" int irs_channel_describe(irs_channel* handle, irs_channel_info* info) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port || !channel->open.load()) {
        return IRS_ERR_HANDLE;
    }
    if (info == nullptr) {
        return IRS_ERR_ARG;
    }
    *info = irs_channel_info{};
    return port->transport->describe(*port, *channel, *info);
}

extern "C" int irs_channel_set_linger(irs_channel* handle, int lingerMs) {
    const auto [port, channel, generation] = irsFindChannel(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    if (lingerMs < 0 || lingerMs > IRS_LINGER_MAX_MS) {
        return IRS_ERR_ARG;
    }
    channel->lingerMs.store(lingerMs);
    return IRS_OK;
}

namespace {

int closeWith(irs_channel* handle, bool abortive) {
    const IrsChannelRef found = irsFindChannel(handle);
    if (!found.port) {
        return IRS_ERR_HANDLE;
    }
    if (irsInsideLog()) {
        return IRS_ERR_STATE; // the station's thread may be the one running the log
    }
    return found.port->transport->closeChannel(found, abortive);
}

} // namespace

extern "C" int irs_channel_close(irs_channel* handle) {
    return closeWith(handle, false);
}

extern "C" int irs_channel_abort(irs_channel* handle) {
    return closeWith(handle, true);
}
