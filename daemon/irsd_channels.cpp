// The ports' events and the channels' sockets: each channel reaches its client as one end of a
// socket pair; the daemon reads its end only while the channel has room, and writes what the peer
// sent as the socket takes it.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "irsd_ports.h"
#include "pdu.h"

namespace {

void smallBuffers(int sock) {
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &IRSD_CHANNEL_BUFFER, sizeof IRSD_CHANNEL_BUFFER);
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &IRSD_CHANNEL_BUFFER, sizeof IRSD_CHANNEL_BUFFER);
}

} // namespace

size_t IrsdPorts::collect(std::span<pollfd> into) {
    size_t count = 0;
    for (auto& served : ports) {
        if (served->live && count < into.size()) {
            into[count++] = {served->port->readyFd(), POLLIN, 0};
        }
    }
    for (Record& r : records) {
        r.pollAt = -1;
        if (!r.used || r.sock < 0 || count == into.size()) {
            continue;
        }
        short events = 0;
        if (r.lane >= 0) {
            IrPort& port = *ports.at(r.port)->port;
            events |= r.held > r.sentAt ? POLLOUT : 0;
            const bool taking = !r.ended && !(r.closing && r.closeStarted);
            events |= taking && port.room(r.lane) > 0 ? POLLIN : 0;
        }
        // With no events, poll still tells of the client's end closing.
        r.pollAt = static_cast<int>(count);
        into[count++] = {r.sock, events, 0};
    }
    return count;
}

void IrsdPorts::serve(std::span<const pollfd> polled, std::span<IrsdClient> clients) {
    for (size_t i = 0; i < ports.size(); ++i) {
        retryStart(*ports[i]);
        if (ports[i]->live) {
            ports[i]->port->update();
            events(clients, i);
            watchDevice(*ports[i]);
            events(clients, i);
        }
    }
    for (Record& r : records) {
        if (r.used) {
            const bool seen = r.pollAt >= 0 && static_cast<size_t>(r.pollAt) < polled.size();
            pump(r, seen ? polled[static_cast<size_t>(r.pollAt)].revents : 0);
        }
    }
    // What the pumping started or ended shows at once.
    for (size_t i = 0; i < ports.size(); ++i) {
        if (ports[i]->live) {
            events(clients, i);
        }
    }
}

void IrsdPorts::watchDevice(Served& s) {
    const auto now = std::chrono::steady_clock::now();
    // A role switch reopens the device, so a device gone may show only as a port not open.
    const bool gone =
        s.line->lostError() != 0 || (s.port->status().role == IRPORT_DEVICE && !s.line->isOpen());
    if (!s.lost && gone) {
        std::fprintf(stderr, "irstackd: %s: port lost (system error %lu)\n", s.name.c_str(),
                     static_cast<unsigned long>(s.line->lostSystemError()));
        s.lost = true;
        s.retryAt = now + std::chrono::milliseconds(IRSD_RETRY_MS);
        s.port->lose();
        return;
    }
    if (!s.lost || now < s.retryAt) {
        return;
    }
    s.retryAt = now + std::chrono::milliseconds(IRSD_RETRY_MS);
    // The open is tried only once the path is back, so an absent device costs one look.
    if (access(s.device.c_str(), R_OK | W_OK) == 0 && s.port->restart() == IRSD_OK) {
        s.lost = false;
        std::fprintf(stderr, "irstackd: %s: port back\n", s.name.c_str());
    }
}

void IrsdPorts::events(std::span<IrsdClient> clients, size_t index) {
    Served& s = *ports[index];
    IrPortEvent event;
    while (s.port->takeEvent(event)) {
        if (event.kind == IRPORT_DONE) {
            finished(clients, index, event);
        } else if (event.kind == IRPORT_CHANNEL_ENDED) {
            const int at = s.laneRecord.at(static_cast<size_t>(event.channel));
            if (at < 0) {
                s.port->abort(event.channel);
                continue;
            }
            Record& r = records.at(static_cast<size_t>(at));
            r.ended = true;
            IrsdMsg ended;
            irsdInit(ended, IRSD_EV_CHANNEL_ENDED, 0);
            ended.num[IRSD_ENDED_CHANNEL] = r.id;
            // The engine saw a link that went silent; the port knows why.
            const bool lost = s.lost || s.line->lostError() != 0 || !s.line->isOpen();
            ended.num[IRSD_ENDED_REASON] =
                static_cast<uint32_t>(lost ? IRSD_ERR_PORT_LOST : event.status);
            ended.num[IRSD_ENDED_UNACKED] = event.value;
            send(clients, r.client, r.serial, ended);
        } else {
            const IrPortStatus status = s.port->status();
            if (status.peer != 0) {
                LapDiscovered peer;
                peer.address = status.peer;
                noteSeen(s, peer);
            }
            for (size_t c = 0; c < clients.size(); ++c) {
                // A phase is news, not an answer: a client that reads none of it (one that only
                // polls its channels' sockets) misses some rather than being dropped for it.
                const bool room = irsdQueueRoom(clients[c].out) >= 2 * IRSD_MSG_MAX;
                if (room && clients[c].sock >= 0 && clients[c].port == index &&
                    clients[c].session.opened) {
                    IrsdMsg phase;
                    irsdInit(phase, IRSD_EV_PORT_PHASE, 0);
                    phase.num[IRSD_PHASE_PHASE] = event.value;
                    phase.num[IRSD_PHASE_PEER] = status.peer;
                    phase.num[IRSD_PHASE_SPEED] = status.speed;
                    send(clients, c, clients[c].serial, phase);
                }
            }
        }
    }
}

void IrsdPorts::finished(std::span<IrsdClient> clients, size_t index, const IrPortEvent& event) {
    Served& s = *ports[index];
    const auto found = std::find_if(pendings.begin(), pendings.end(), [&](const Pending& p) {
        return p.used && p.port == index && p.tag == event.tag;
    });
    if (found == pendings.end()) {
        if (event.status == IRSD_OK && event.channel >= 0) {
            s.port->abort(event.channel); // its client has gone
        }
        return;
    }
    Pending pending = *found;
    found->used = false;
    IrsdMsg reply;
    irsdInit(reply, pending.type | IRSD_REPLY, pending.request);
    if (pending.type == IRSD_DISCOVER) {
        const size_t count = std::min<size_t>(event.value, pending.max);
        for (size_t i = 0; i < count; ++i) {
            LapDiscovered device;
            if (!s.port->found(i, device)) {
                break;
            }
            noteSeen(s, device);
            IrsdMsg item;
            irsdInit(item, IRSD_ITEM_DEVICE, pending.request);
            item.num[IRSD_DEVICE_ADDRESS] = device.address;
            item.num[IRSD_DEVICE_HINTS] = lapHintBits(device);
            std::array<char, LAP_NICKNAME_MAX + 1> nickname{};
            lapNickname(device, nickname);
            irsdSetText(item, IRSD_DEVICE_NICKNAME, nickname.data());
            send(clients, pending.client, pending.serial, item);
        }
        reply.num[IRSD_COUNT_R] = static_cast<uint32_t>(count);
    } else if (pending.type == IRSD_QUERY && event.status == IRSD_OK) {
        const int count = queryItems(clients, pending, s.port->queryAnswer());
        reply.num[IRSD_COUNT_R] = static_cast<uint32_t>(std::max(count, 0));
        answer(clients, pending.client, pending.serial, reply, count < 0 ? count : IRSD_OK);
        return;
    } else if (pending.type == IRSD_CHANNEL_CLOSE) {
        // The port has the channel back already.
        Record& r = records.at(static_cast<size_t>(pending.record));
        const bool dropped = r.dropped;
        release(r, false);
        if (dropped) {
            answer(clients, pending.client, pending.serial, reply, IRSD_ERR_TIMEOUT);
            return;
        }
    } else if (event.status == IRSD_OK) {
        opened(clients, pending, event.channel);
        return;
    }
    answer(clients, pending.client, pending.serial, reply, event.status);
}

int IrsdPorts::queryItems(std::span<IrsdClient> clients, const Pending& pending,
                          std::span<const uint8_t> found) {
    std::array<IasValue, UINT8_MAX> values{};
    const IasAnswer parsed = iasParseValues(found, std::span(values.data(), pending.max));
    if (!parsed.coded || parsed.code != 0) {
        return IRSD_ERR_NO_SERVICE; // no such class or attribute
    }
    for (uint16_t i = 0; i < parsed.stored; ++i) {
        const IasValue& value = values.at(i);
        IrsdMsg item;
        irsdInit(item, IRSD_ITEM_IAS_VALUE, pending.request);
        item.num[IRSD_IAS_TYPE] = value.type;
        item.num[IRSD_IAS_OBJECT] = value.objectId;
        item.num[IRSD_IAS_INTEGER] = static_cast<uint32_t>(value.integer);
        item.num[IRSD_IAS_CHARSET] = value.charset;
        item.num[IRSD_IAS_LENGTH] = static_cast<uint32_t>(value.bytes.size());
        const size_t kept = std::min(value.bytes.size(), IRSD_IAS_VALUE_MAX);
        irsdSetText(item, IRSD_IAS_BYTES,
                    std::string_view(reinterpret_cast<const char*>(value.bytes.data()), kept));
        send(clients, pending.client, pending.serial, item);
    }
    return parsed.stored;
}

void IrsdPorts::opened(std::span<IrsdClient> clients, Pending& pending, int lane) {
    Served& s = *ports.at(pending.port);
    IrsdMsg reply;
    irsdInit(reply, pending.type | IRSD_REPLY, pending.request);
    const auto free =
        std::find_if(records.begin(), records.end(), [](const Record& r) { return !r.used; });
    std::array<int, 2> ends{-1, -1};
    if (free == records.end() ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
        s.port->abort(lane);
        answer(clients, pending.client, pending.serial, reply,
               free == records.end() ? IRSD_ERR_NO_MEMORY : IRSD_ERR_IO);
        return;
    }
    smallBuffers(ends[0]);
    smallBuffers(ends[1]);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    Record& r = *free;
    r = Record{};
    r.used = true;
    r.client = pending.client;
    r.serial = pending.serial;
    r.id = ++lastId == 0 ? ++lastId : lastId;
    r.port = pending.port;
    r.lane = lane;
    r.sock = ends[0];
    r.info = s.port->describe(lane);
    s.laneRecord.at(static_cast<size_t>(lane)) = static_cast<int>(free - records.begin());
    reply.num[IRSD_CHANNEL_R_ID] = r.id;
    reply.fd = ends[1]; // the queue closes it once it has gone
    if (!send(clients, pending.client, pending.serial, reply)) {
        release(r, true);
    }
}

int IrsdPorts::lingerLeft(const Record& r) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        r.closeBy - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

void IrsdPorts::pump(Record& r, short revents) {
    bool gone = (revents & (POLLHUP | POLLERR)) != 0;
    // A close whose client has hung up goes on without its socket, which would only keep
    // reporting the hang-up.
    if (r.sock < 0) {
        if (r.closing && !r.closeStarted && r.lane >= 0) {
            r.closeStarted =
                ports.at(r.port)->port->close(r.closeRequest, r.lane, lingerLeft(r)) == IRSD_OK;
        }
        return;
    }
    if (r.lane >= 0) {
        IrPort& port = *ports.at(r.port)->port;
        // The peer's bytes to the client, as far as its socket takes them.
        for (;;) {
            if (r.sentAt == r.held) {
                r.sentAt = 0;
                r.held = port.read(r.lane, r.toClient.data(), r.toClient.size());
                if (r.held == 0) {
                    break;
                }
            }
            const ssize_t put = ::send(r.sock, r.toClient.data() + r.sentAt, r.held - r.sentAt,
                                       MSG_DONTWAIT | MSG_NOSIGNAL);
            if (put <= 0) {
                gone = gone || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
                break;
            }
            r.sentAt += static_cast<size_t>(put);
            r.received += static_cast<uint32_t>(put);
        }
        // The client's bytes to the peer, never more than the channel has room for.
        while (!r.ended && !gone && !(r.closing && r.closeStarted)) {
            std::array<uint8_t, 1024> buffer{};
            const int room = port.room(r.lane);
            if (room <= 0) {
                if (r.closing && lingerLeft(r) == 0) {
                    // The linger is over with bytes the peer never took room for: dropped.
                    int queued = 0;
                    r.dropped = ioctl(r.sock, FIONREAD, &queued) != 0 || queued > 0;
                    r.closeStarted = port.close(r.closeRequest, r.lane, 0) == IRSD_OK;
                }
                break;
            }
            const ssize_t got =
                ::recv(r.sock, buffer.data(),
                       std::min<size_t>(buffer.size(), static_cast<size_t>(room)), MSG_DONTWAIT);
            if (got > 0) {
                // Never short while the room lasts; short only when the channel ended meanwhile,
                // and then the bytes had nowhere to go.
                const size_t taken = port.write(r.lane, buffer.data(), static_cast<size_t>(got));
                r.sent += static_cast<uint32_t>(taken);
                if (taken < static_cast<size_t>(got)) {
                    break;
                }
                continue;
            }
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                gone = !r.closing;
            }
            if (r.closing) {
                // All the client wrote before its close has been taken.
                r.closeStarted = port.close(r.closeRequest, r.lane, lingerLeft(r)) == IRSD_OK;
            }
            break;
        }
        if (r.closing && !r.closeStarted && (r.ended || gone)) {
            r.closeStarted = port.close(r.closeRequest, r.lane, lingerLeft(r)) == IRSD_OK;
        }
        if (r.ended && r.held == r.sentAt && port.available(r.lane) == 0 && !r.closing) {
            // Every byte delivered: the client reads the end, and the port has its channel back.
            shutdown(r.sock, SHUT_WR);
            r.shut = true;
            port.abort(r.lane);
            ports.at(r.port)->laneRecord.at(static_cast<size_t>(r.lane)) = -1;
            r.lane = -1;
        }
    }
    if (gone && !r.closing) {
        release(r, true); // the client closed its end or left: the peer hears at once
    } else if (gone) {
        ::close(r.sock);
        r.sock = -1;
    }
}

void IrsdPorts::release(Record& r, bool abortive) {
    if (r.lane >= 0) {
        Served& s = *ports.at(r.port);
        if (abortive) {
            s.port->abort(r.lane);
        }
        s.laneRecord.at(static_cast<size_t>(r.lane)) = -1;
    }
    for (Pending& p : pendings) {
        if (p.used && p.type == IRSD_CHANNEL_CLOSE &&
            p.record == static_cast<int>(&r - records.data())) {
            p.used = false;
        }
    }
    if (r.sock >= 0) {
        ::close(r.sock);
    }
    r = Record{};
}
