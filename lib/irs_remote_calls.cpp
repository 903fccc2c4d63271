// The daemon transport's calls: each port call as its request, and the channel calls straight on
// the channel's own socket, which the daemon passed with the reply that opened it.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "irs_remote.h"

namespace {

void copyText(char* to, size_t size, std::string_view from) {
    const size_t length = std::min(size - 1, from.size());
    std::memcpy(to, from.data(), length);
    to[length] = '\0';
}

// A request answered at once: the transport's failure, else the reply's status.
int ask(IrsPort& port, IrsdMsg& request, IrsdMsg& reply, int waitMs = IRS_REMOTE_ANSWER_MS,
        const IrsRemoteItems& items = {}) {
    const int sent = irsRemoteCall(port, request, waitMs, reply, items);
    return sent != IRS_OK ? sent : irsRemoteStatus(reply);
}

int portStatus(IrsPort& port, irs_port_state& status) {
    IrsdMsg request;
    IrsdMsg reply;
    irsdInit(request, IRSD_PORT_STATUS, 0);
    const int result = ask(port, request, reply);
    if (result == IRS_ERR_PORT_LOST) {
        // As a dongle unplugged reads: the daemon is this port's device.
        status.port_error = ECONNRESET;
        copyText(status.last_error, sizeof status.last_error, "port lost: irstackd gone");
        return IRS_OK;
    }
    if (result != IRS_OK) {
        return result;
    }
    status.phase = static_cast<int>(reply.num.at(IRSD_PORT_R_PHASE));
    if (status.phase >= IRS_PHASE_CONNECTED) {
        status.peer_address = reply.num.at(IRSD_PORT_R_PEER);
        irsAddressText(status.peer_address, status.peer_text);
        status.speed = reply.num.at(IRSD_PORT_R_SPEED);
    }
    status.port_error = reply.num.at(IRSD_PORT_R_ERROR);
    copyText(status.last_error, sizeof status.last_error, irsdText(reply, IRSD_PORT_R_TEXT));
    return IRS_OK;
}

int setLinkLimits(IrsPort& port, int maxWindow, int maxFrame) {
    IrsdMsg request;
    IrsdMsg reply;
    irsdInit(request, IRSD_SET_LINK_LIMITS, 0);
    request.num.at(IRSD_LIMITS_WINDOW) = static_cast<uint32_t>(maxWindow);
    request.num.at(IRSD_LIMITS_FRAME) = static_cast<uint32_t>(maxFrame);
    return ask(port, request, reply);
}

int setIdentity(IrsPort& port, const char* nickname, uint16_t hints) {
    IrsdMsg request;
    IrsdMsg reply;
    irsdInit(request, IRSD_SET_IDENTITY, 0);
    irsdSetText(request, IRSD_IDENTITY_NICKNAME, nickname);
    request.num.at(IRSD_IDENTITY_HINTS) = hints;
    return ask(port, request, reply);
}

int discover(IrsPort& port, int timeoutMs, irs_device* devices, int maxDevices) {
    IrsdMsg request;
    IrsdMsg reply;
    irsdInit(request, IRSD_DISCOVER, 0);
    request.num.at(IRSD_DISCOVER_TIMEOUT) = static_cast<uint32_t>(timeoutMs);
    const int most = std::min(maxDevices, 255);
    request.num.at(IRSD_DISCOVER_MAX) = static_cast<uint32_t>(most);
    int stored = 0;
    const int result =
        ask(port, request, reply, irsRemoteWaitFor(timeoutMs), {devices, nullptr, most, &stored});
    return result != IRS_OK ? result : stored;
}

int query(IrsPort& port, const char* className, const char* attribute, int timeoutMs,
          irs_ias_value* values, int maxValues) {
    IrsdMsg request;
    IrsdMsg reply;
    irsdInit(request, IRSD_QUERY, 0);
    irsdSetText(request, IRSD_SVC_CLASS, className);
    irsdSetText(request, IRSD_SVC_ATTRIBUTE, attribute);
    request.num.at(IRSD_SVC_TIMEOUT) = static_cast<uint32_t>(timeoutMs);
    const int most = std::min(maxValues, 255);
    request.num.at(IRSD_QUERY_MAX) = static_cast<uint32_t>(most);
    int stored = 0;
    const int result =
        ask(port, request, reply, irsRemoteWaitFor(timeoutMs), {nullptr, values, most, &stored});
    return result != IRS_OK ? result : stored;
}

// A free place in the port's table, taken for the call; null when every one is in use.
IrsChannel* takePlace(IrsPort& port) {
    const std::lock_guard<std::mutex> hold(port.awaitLock);
    for (IrsChannel& channel : port.channels) {
        if (!channel.open.load() && !channel.awaited.load()) {
            channel.awaited.store(true);
            return &channel;
        }
    }
    return nullptr;
}

int openChannel(IrsPort& port, const IrsService& service, int timeoutMs, irs_channel** out) {
    IrsChannel* channel = takePlace(port);
    if (channel == nullptr) {
        return IRS_ERR_NO_MEMORY;
    }
    IrsdMsg request;
    IrsdMsg reply;
    const bool connect = port.role == IRS_ROLE_COMPUTER;
    irsdInit(request, connect ? IRSD_CONNECT : IRSD_LISTEN, 0);
    irsdSetText(request, IRSD_SVC_CLASS, service.className.data());
    irsdSetText(request, IRSD_SVC_ATTRIBUTE, service.attribute.data());
    request.num.at(IRSD_SVC_TIMEOUT) = static_cast<uint32_t>(timeoutMs);
    request.num.at(IRSD_SVC_MODE) = static_cast<uint32_t>(service.mode);
    if (connect) {
        request.num.at(IRSD_CONNECT_LSAP) = static_cast<uint32_t>(service.lsap);
    }
    int result = ask(port, request, reply, irsRemoteWaitFor(timeoutMs));
    if (result == IRS_OK && reply.fd < 0) {
        result = IRS_ERR_IO;
    }
    if (result == IRS_OK && port.closing.load()) {
        close(reply.fd);
        result = IRS_ERR_HANDLE;
    }
    if (result != IRS_OK) {
        channel->awaited.store(false);
        return result;
    }
    channel->sock.store(reply.fd);
    channel->remoteId.store(reply.num.at(IRSD_CHANNEL_R_ID));
    channel->endStatus.store(0);
    channel->endUnacknowledged.store(0);
    channel->ended.store(false);
    channel->open.store(true);
    channel->awaited.store(false);
    *out = irsChannelHandOut(port, *channel);
    return IRS_OK;
}

void closePort(IrsPort& port) {
    IrsdMsg request;
    IrsdMsg reply;
    irsdInit(request, IRSD_CLOSE_PORT, 0);
    ask(port, request, reply);
    port.closing.store(true);
    // Waits in other threads end: on the calls' socket and on each channel's.
    shutdown(port.remote->sock, SHUT_RDWR);
    for (IrsChannel& channel : port.channels) {
        channel.open.store(false);
        const int sock = channel.sock.load();
        if (sock >= 0) {
            shutdown(sock, SHUT_RDWR);
        }
    }
    const std::lock_guard<std::mutex> hold(port.remote->lock);
    port.remote->changed.notify_all();
}

size_t take(IrsPort& /*port*/, IrsChannel& channel, uint8_t* buffer, size_t size) {
    const ssize_t got = recv(channel.sock.load(), buffer, size, MSG_DONTWAIT);
    if (got > 0) {
        return static_cast<size_t>(got);
    }
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        channel.ended.store(true); // the daemon has shut its side: the channel is over
    }
    return 0;
}

size_t put(IrsPort& /*port*/, IrsChannel& channel, const uint8_t* data, size_t size) {
    const ssize_t sent = send(channel.sock.load(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0) {
        return static_cast<size_t>(sent);
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        channel.ended.store(true);
    }
    return 0;
}

long available(IrsPort& /*port*/, IrsChannel& channel) {
    int bytes = 0;
    return ioctl(channel.sock.load(), FIONREAD, &bytes) == 0 ? bytes : 0;
}

int failure(IrsPort& port, IrsChannel& channel) {
    if (port.closing.load() || !channel.open.load()) {
        return IRS_ERR_HANDLE;
    }
    if (channel.endStatus.load() == 0 && channel.ended.load()) {
        irsRemotePoll(port); // the event that says why came before the socket's end
    }
    const int status = channel.endStatus.load();
    if (status != 0) {
        return status;
    }
    if (channel.ended.load()) {
        return port.remote->lost.load() ? IRS_ERR_PORT_LOST : IRS_ERR_PEER_GONE;
    }
    return IRS_OK;
}

// The daemon tells of the end before it has passed on the last bytes; its side's shutdown comes
// after them.
bool drained(IrsPort& port, IrsChannel& channel) {
    if (channel.ended.load() || port.closing.load() || !channel.open.load() ||
        port.remote->lost.load()) {
        return true;
    }
    uint8_t byte = 0;
    const ssize_t peeked = recv(channel.sock.load(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        channel.ended.store(true);
        return true;
    }
    return false;
}

uint32_t mark(IrsChannel& /*channel*/) {
    return 0;
}

// Waits on the channel's socket, and takes the daemon's events meanwhile so they never pile up
// behind a long transfer.
void wait(IrsPort& port, IrsChannel& channel, uint32_t /*mark*/, bool writing, int waitMs) {
    std::array<pollfd, 2> watched{{
        {channel.sock.load(), static_cast<short>(writing ? POLLOUT : POLLIN), 0},
        {port.remote->sock, POLLIN, 0},
    }};
    const nfds_t count = port.remote->lost.load() ? 1 : 2;
    if (poll(watched.data(), count, waitMs) > 0 && count == 2 && watched[1].revents != 0) {
        irsRemotePoll(port);
    }
}

void changed(IrsPort& /*port*/, IrsChannel& /*channel*/) {}

int fd(IrsPort& /*port*/, IrsChannel& channel) {
    return channel.sock.load();
}

int channelStatus(IrsPort& port, IrsChannel& channel, irs_channel_state& status) {
    IrsdMsg request;
    IrsdMsg reply;
    irsdInit(request, IRSD_CHANNEL_STATUS, 0);
    request.num.at(IRSD_CHANNEL_ID) = channel.remoteId.load();
    const int result = ask(port, request, reply);
    const bool usable = failure(port, channel) == IRS_OK;
    // Bytes already in the socket are the daemon's no longer but not yet the peer's.
    int queued = 0;
    ioctl(channel.sock.load(), TIOCOUTQ, &queued);
    status.available = available(port, channel);
    status.unacknowledged = channel.endUnacknowledged.load() + queued;
    if (result == IRS_OK) {
        status.open = usable && reply.num.at(IRSD_CSTATUS_R_OPEN) != 0 ? 1 : 0;
        status.available += static_cast<long>(reply.num.at(IRSD_CSTATUS_R_AVAILABLE));
        status.room = status.open != 0 ? static_cast<long>(reply.num.at(IRSD_CSTATUS_R_ROOM)) : 0;
        status.unacknowledged = static_cast<long>(reply.num.at(IRSD_CSTATUS_R_UNACKED)) + queued;
    }
    if (channel.endStatus.load() != 0) {
        // The daemon lets the channel go once it has ended; its end event kept the count.
        status.unacknowledged = channel.endUnacknowledged.load() + queued;
    }
    return result == IRS_OK || !usable ? IRS_OK : result;
}

int describe(IrsPort& port, IrsChannel& channel, irs_channel_info& info) {
    IrsdMsg request;
    IrsdMsg reply;
    irsdInit(request, IRSD_CHANNEL_DESCRIBE, 0);
    request.num.at(IRSD_CHANNEL_ID) = channel.remoteId.load();
    const int result = ask(port, request, reply);
    if (result != IRS_OK) {
        return result;
    }
    info.local_lsap = static_cast<int>(reply.num.at(IRSD_DESCRIBE_R_LOCAL));
    info.peer_lsap = static_cast<int>(reply.num.at(IRSD_DESCRIBE_R_PEER));
    info.mode = static_cast<int>(reply.num.at(IRSD_DESCRIBE_R_MODE));
    copyText(info.class_name, sizeof info.class_name, irsdText(reply, IRSD_DESCRIBE_R_CLASS));
    copyText(info.attribute, sizeof info.attribute, irsdText(reply, IRSD_DESCRIBE_R_ATTRIBUTE));
    return IRS_OK;
}

int closeChannel(const IrsChannelRef& found, bool abortive) {
    IrsPort& port = *found.port;
    IrsChannel& channel = *found.channel;
    if (!irsChannelRetire(found)) {
        return IRS_ERR_HANDLE; // another thread closed it first
    }
    IrsdMsg request;
    IrsdMsg reply;
    irsdInit(request, abortive ? IRSD_CHANNEL_ABORT : IRSD_CHANNEL_CLOSE, 0);
    request.num.at(IRSD_CHANNEL_ID) = channel.remoteId.load();
    const int lingerMs = channel.lingerMs.load();
    if (!abortive) {
        request.num.at(IRSD_CLOSE_LINGER) = static_cast<uint32_t>(lingerMs);
    }
    // Bytes in the socket the daemon had not taken when the channel ended never reach the peer.
    int queued = 0;
    if (channel.endStatus.load() != 0) {
        ioctl(channel.sock.load(), TIOCOUTQ, &queued);
    }
    int result =
        ask(port, request, reply, abortive ? IRS_REMOTE_ANSWER_MS : irsRemoteWaitFor(lingerMs));
    const int ended = channel.endStatus.load();
    if ((result == IRS_ERR_HANDLE || result == IRS_OK) && ended != 0 && !port.closing.load()) {
        // The daemon let the channel go when it ended, whatever it left unacknowledged.
        result = channel.endUnacknowledged.load() + queued > 0 ? ended : IRS_OK;
    }
    channel.open.store(false);
    // Waits on the socket end before it is closed, so no other thread polls a number reused.
    shutdown(channel.sock.load(), SHUT_RDWR);
    {
        const std::scoped_lock waits(channel.readLock, channel.writeLock);
        const int sock = channel.sock.exchange(-1);
        if (sock >= 0) {
            close(sock);
        }
    }
    return abortive ? IRS_OK : result;
}

} // namespace

const IrsTransport IRS_DAEMON_TRANSPORT{
    .portStatus = portStatus,
    .setLinkLimits = setLinkLimits,
    .setIdentity = setIdentity,
    .discover = discover,
    .openChannel = openChannel,
    .query = query,
    .close = closePort,
    .take = take,
    .put = put,
    .available = available,
    .failure = failure,
    .drained = drained,
    .mark = mark,
    .wait = wait,
    .changed = changed,
    .fd = fd,
    .channelStatus = channelStatus,
    .describe = describe,
    .closeChannel = closeChannel,
};
