// The daemon transport's connection: the socket found by the port's name, HELLO and OPEN, and
// the one reader that hands each reply, item and event to whom it belongs.
#include "irs_remote.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <string_view>

#include "console.h"

namespace {

constexpr const char* DEFAULT_SOCKET_DIR = "/run/irstack";

void closeFd(int fd) {
    if (fd >= 0) {
        close(fd);
    }
}

IrsRemoteCall* callWithId(IrsRemote& remote, uint32_t id) {
    for (IrsRemoteCall& call : remote.calls) {
        if (call.used && call.id == id) {
            return &call;
        }
    }
    return nullptr;
}

void channelEnded(IrsPort& port, const IrsdMsg& event) {
    const auto id = static_cast<uint32_t>(event.num.at(IRSD_ENDED_CHANNEL));
    for (IrsChannel& channel : port.channels) {
        if (channel.open.load() && channel.remoteId.load() == id) {
            const int32_t reason = irsdInt(event, IRSD_ENDED_REASON);
            channel.endUnacknowledged.store(static_cast<long>(event.num.at(IRSD_ENDED_UNACKED)));
            channel.endStatus.store(reason < 0 ? irsRemoteCode(reason) : IRS_ERR_PEER_GONE);
        }
    }
}

// One message from the daemon, under the calls' lock.
void dispatch(IrsPort& port, IrsdMsg& msg) {
    IrsRemote& remote = *port.remote;
    if (msg.type == IRSD_EV_CHANNEL_ENDED) {
        channelEnded(port, msg);
        return;
    }
    if (msg.type == IRSD_EV_PORT_PHASE) {
        remote.phase.store(static_cast<int>(msg.num.at(IRSD_PHASE_PHASE)));
        return;
    }
    IrsRemoteCall* call = callWithId(remote, msg.id);
    if (msg.type == IRSD_ITEM_DEVICE || msg.type == IRSD_ITEM_IAS_VALUE) {
        if (call != nullptr) {
            msg.type == IRSD_ITEM_DEVICE ? irsRemoteStoreDevice(*call, msg)
                                         : irsRemoteStoreValue(*call, msg);
        }
        return;
    }
    if (msg.type == IRSD_ERROR) {
        remote.lost.store(true); // the daemon ends the connection after it
        if (msg.id == 0) {
            // Not an answer to one request (a refusal as the daemon took the connection): every
            // call waiting learns why.
            for (IrsRemoteCall& waiting : remote.calls) {
                if (waiting.used && !waiting.done) {
                    waiting.reply = msg;
                    waiting.done = true;
                }
            }
            return;
        }
    }
    if (call == nullptr || call->done) {
        closeFd(msg.fd); // a reply nobody waits for any longer
        msg.fd = -1;
        return;
    }
    call->reply = msg;
    call->done = true;
    msg.fd = -1;
}

// Reads for up to `waitMs` and hands out what came; false once the connection has gone.
bool readSome(IrsPort& port, int waitMs) {
    IrsRemote& remote = *port.remote;
    pollfd watched{remote.sock, POLLIN, 0};
    const int ready = poll(&watched, 1, waitMs);
    if (ready < 0) {
        return errno == EINTR;
    }
    if (ready == 0) {
        return true;
    }
    const IrsdRead got = irsdReceive(remote.sock, remote.in);
    if (got == IrsdRead::END || got == IrsdRead::FAILED) {
        return false;
    }
    for (;;) {
        const int taken = irsdTakeMessage(remote.in, remote.incoming, IrsdFrom::DAEMON);
        if (taken < 0) {
            return false; // a daemon that breaks the protocol is not trusted further
        }
        if (taken == 0) {
            return true;
        }
        const std::lock_guard<std::mutex> hold(remote.lock);
        dispatch(port, remote.incoming);
    }
}

// IRS_OK once sent, IRS_ERR_ARG for a message that cannot be encoded, IRS_ERR_IO when the send
// failed.
int sendAll(IrsRemote& remote, const IrsdMsg& msg) {
    std::array<uint8_t, IRSD_MSG_MAX> bytes{};
    const int length = irsdEncode(msg, bytes);
    if (length < 0) {
        return IRS_ERR_ARG;
    }
    const std::lock_guard<std::mutex> hold(remote.sendLock);
    size_t sent = 0;
    while (sent < static_cast<size_t>(length)) {
        const ssize_t done = send(remote.sock, bytes.data() + sent,
                                  static_cast<size_t>(length) - sent, MSG_NOSIGNAL);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return IRS_ERR_IO;
        }
        sent += static_cast<size_t>(done);
    }
    return IRS_OK;
}

int waitForReply(IrsPort& port, IrsRemoteCall& call, const IrsDeadline& deadline,
                 std::unique_lock<std::mutex>& hold) {
    IrsRemote& remote = *port.remote;
    for (;;) {
        if (call.done) {
            return IRS_OK;
        }
        if (port.closing.load()) {
            return IRS_ERR_HANDLE;
        }
        if (remote.lost.load()) {
            return IRS_ERR_PORT_LOST;
        }
        if (deadline.passed()) {
            return IRS_ERR_TIMEOUT;
        }
        if (!remote.reading) {
            remote.reading = true;
            hold.unlock();
            const bool well = readSome(port, deadline.left());
            hold.lock();
            remote.reading = false;
            if (!well) {
                remote.lost.store(true);
            }
            remote.changed.notify_all();
        } else if (deadline.left() < 0) {
            remote.changed.wait(hold);
        } else {
            remote.changed.wait_for(hold, std::chrono::milliseconds(deadline.left()));
        }
    }
}

// Connects to the socket and says HELLO; the socket, or the code irs_open answers.
int connectSocket(const char* name, int& sock) {
    const char* dir = std::getenv("IRSTACK_SOCKET_DIR");
    if (dir == nullptr || dir[0] == '\0') {
        dir = DEFAULT_SOCKET_DIR;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const int length = std::snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", dir, name);
    if (length < 0 || static_cast<size_t>(length) >= sizeof address.sun_path) {
        return IRS_ERR_ARG;
    }
    sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return errno == EMFILE || errno == ENFILE || errno == ENOMEM ? IRS_ERR_NO_MEMORY
                                                                     : IRS_ERR_IO;
    }
    int result = 0;
    do {
        result = connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        return IRS_OK;
    }
    const int why = errno;
    closeFd(sock);
    sock = -1;
    if (why == EACCES || why == EPERM) {
        consoleError("irs_open: irstackd:%s: not allowed", name);
        return IRS_ERR_ACCESS;
    }
    consoleError("irs_open: irstackd:%s: no daemon at %s", name, address.sun_path);
    return IRS_ERR_PORT;
}

bool validName(std::string_view name) {
    return !name.empty() && name.size() <= IRSD_PORT_NAME_MAX &&
           name.find('/') == std::string_view::npos && name != "." && name != "..";
}

} // namespace

int irsRemoteCode(int32_t status) {
    return status <= 0 && status >= IRS_ERR_ACCESS ? status : IRS_ERR_IO;
}

int irsRemoteStatus(const IrsdMsg& reply) {
    return irsRemoteCode(irsdStatus(reply));
}

int irsRemoteWaitFor(int timeoutMs) {
    // The margin never makes a long time-out wrap into a short or endless one.
    return timeoutMs < 0 ? -1 : timeoutMs + std::min(IRS_REMOTE_MARGIN_MS, INT_MAX - timeoutMs);
}

int irsRemoteCall(IrsPort& port, IrsdMsg& request, int waitMs, IrsdMsg& reply,
                  const IrsRemoteItems& items) {
    IrsRemote& remote = *port.remote;
    const IrsDeadline deadline(waitMs);
    std::unique_lock<std::mutex> hold(remote.lock);
    const uint8_t type = request.type;
    const bool waits = type == IRSD_DISCOVER || type == IRSD_QUERY || type == IRSD_CONNECT ||
                       type == IRSD_LISTEN || type == IRSD_CHANNEL_CLOSE;
    const auto waiting = std::count_if(remote.calls.begin(), remote.calls.end(),
                                       [](const IrsRemoteCall& c) { return c.used && c.waits; });
    if (waits && static_cast<size_t>(waiting) >= remote.callsAllowed) {
        return IRS_ERR_NO_MEMORY; // as the daemon would answer
    }
    IrsRemoteCall* call = nullptr;
    while (call == nullptr) {
        const auto free = std::find_if(remote.calls.begin(), remote.calls.end(),
                                       [](const IrsRemoteCall& c) { return !c.used; });
        if (free != remote.calls.end()) {
            call = &*free;
        } else if (deadline.passed()) {
            return IRS_ERR_TIMEOUT;
        } else if (deadline.left() < 0) {
            remote.changed.wait(hold); // a call ends and gives its place back
        } else {
            remote.changed.wait_for(hold, std::chrono::milliseconds(deadline.left()));
        }
    }
    call->waits = waits;
    remote.lastId = remote.lastId == UINT32_MAX ? 1 : remote.lastId + 1;
    call->used = true;
    call->done = false;
    call->id = remote.lastId;
    call->devices = items.devices;
    call->values = items.values;
    call->itemsMax = items.max;
    call->items = 0;
    request.id = call->id;
    hold.unlock();
    // A send that fails is not the end yet: a daemon that refused this client said why before
    // it closed, and the wait reads that, or the connection's end.
    const bool encoded = sendAll(remote, request) != IRS_ERR_ARG;
    hold.lock();
    const int result = encoded ? waitForReply(port, *call, deadline, hold) : IRS_ERR_ARG;
    if (result == IRS_OK) {
        reply = call->reply;
        if (items.stored != nullptr) {
            *items.stored = call->items;
        }
    }
    call->used = false;
    call->devices = nullptr;
    call->values = nullptr;
    remote.changed.notify_all();
    return result;
}

void irsRemotePoll(IrsPort& port) {
    IrsRemote& remote = *port.remote;
    {
        const std::lock_guard<std::mutex> hold(remote.lock);
        if (remote.reading || remote.lost.load()) {
            return;
        }
        remote.reading = true;
    }
    const bool well = readSome(port, 0);
    const std::lock_guard<std::mutex> hold(remote.lock);
    remote.reading = false;
    if (!well) {
        remote.lost.store(true);
    }
    remote.changed.notify_all();
}

int irsRemoteOpen(const char* name, const TransceiverVariant& transceiver, uint32_t maxSpeed,
                  int role, std::shared_ptr<IrsPort>& opened) {
    if (!validName(name)) {
        return IRS_ERR_ARG;
    }
    irsLogInstall();
    std::shared_ptr<IrsRemote> remote(new (std::nothrow) IrsRemote);
    if (!remote) {
        return IRS_ERR_NO_MEMORY;
    }
    const int connected = connectSocket(name, remote->sock);
    if (connected != IRS_OK) {
        return connected;
    }
    opened.reset(new (std::nothrow) IrsPort(transceiver, role, remote));
    if (!opened) {
        closeFd(remote->sock);
        return IRS_ERR_NO_MEMORY;
    }
    IrsdMsg request;
    IrsdMsg reply;
    irsdInit(request, IRSD_HELLO, 0);
    request.num.at(IRSD_HELLO_VERSION) = IRSD_VERSION;
    int result = irsRemoteCall(*opened, request, IRS_REMOTE_ANSWER_MS, reply);
    if (result == IRS_OK) {
        result = irsRemoteStatus(reply);
    }
    if (result == IRS_OK) {
        const std::lock_guard<std::mutex> hold(remote->lock);
        remote->callsAllowed =
            std::clamp<size_t>(reply.num.at(IRSD_HELLO_R_PENDING), 1, remote->calls.size());
    }
    if (result == IRS_OK) {
        irsdInit(request, IRSD_OPEN, 0);
        irsdSetText(request, IRSD_OPEN_NAME, name);
        request.num.at(IRSD_OPEN_ROLE) = static_cast<uint32_t>(role);
        request.num.at(IRSD_OPEN_MAX_SPEED) = maxSpeed;
        result = irsRemoteCall(*opened, request, IRS_REMOTE_ANSWER_MS, reply);
        if (result == IRS_OK) {
            result = irsRemoteStatus(reply);
        }
    }
    if (result == IRS_ERR_ACCESS) {
        consoleError("irs_open: irstackd:%s: not allowed", name);
    } else if (result != IRS_OK) {
        consoleError("irs_open: irstackd:%s: %s", name, irs_strerror(result));
        // The daemon answering at all is the port's being there; a broken or silent one is not.
        if (result == IRS_ERR_PORT_LOST || result == IRS_ERR_TIMEOUT) {
            result = IRS_ERR_PORT;
        }
    }
    return result;
}

void irsRemoteRelease(IrsPort& port) {
    for (IrsChannel& channel : port.channels) {
        closeFd(channel.sock.exchange(-1));
    }
    closeFd(port.remote->sock);
    irsdReceiverClear(port.remote->in);
    closeFd(port.remote->incoming.fd);
}
