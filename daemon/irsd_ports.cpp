// The ports' requests and the answers their events make.
#include "irsd_ports.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ir_err.h"
#include "lap_terms.h"

// The port's results go on the wire as they are.
static_assert(IRSD_OK == IRPORT_OK && IRSD_ERR_ARG == IRPORT_ERR_ARG &&
              IRSD_ERR_HANDLE == IRPORT_ERR_HANDLE && IRSD_ERR_STATE == IRPORT_ERR_STATE &&
              IRSD_ERR_TIMEOUT == IRPORT_ERR_TIMEOUT && IRSD_ERR_PORT == IRPORT_ERR_PORT &&
              IRSD_ERR_PORT_LOST == IRPORT_ERR_PORT_LOST &&
              IRSD_ERR_PEER_GONE == IRPORT_ERR_PEER_GONE &&
              IRSD_ERR_NO_SERVICE == IRPORT_ERR_NO_SERVICE && IRSD_ERR_IO == IRPORT_ERR_IO &&
              IRSD_ERR_UNSUPPORTED == IRPORT_ERR_UNSUPPORTED &&
              IRSD_ERR_NO_MEMORY == IRPORT_ERR_NO_MEMORY);

namespace {

constexpr int LINGER_DEFAULT_MS = 10000;
constexpr int LINGER_MAX_MS = 600000;

// A text field as a name for the stack: empty stays empty (IrCOMM's service).
std::array<char, IAS_NAMES_MAX + 1> nameOf(const IrsdMsg& msg, uint8_t field) {
    std::array<char, IAS_NAMES_MAX + 1> name{};
    const std::string_view text = irsdText(msg, field);
    text.copy(name.data(), std::min(text.size(), name.size() - 1));
    return name;
}

const char* orNull(const std::array<char, IAS_NAMES_MAX + 1>& name) {
    return name[0] != '\0' ? name.data() : nullptr;
}

} // namespace

bool IrsdPorts::send(std::span<IrsdClient> clients, size_t client, uint32_t serial, IrsdMsg& msg) {
    IrsdClient& c = clients[client];
    if (c.sock < 0 || c.serial != serial || c.dropping) {
        if (msg.fd >= 0) {
            ::close(msg.fd);
        }
        return false;
    }
    if (irsdQueue(c.out, msg) != IRSD_OK) {
        std::fprintf(stderr, "irstackd: uid %u does not take its replies\n",
                     static_cast<unsigned>(c.uid));
        c.dropping = true;
        return false;
    }
    return true;
}

void IrsdPorts::answer(std::span<IrsdClient> clients, size_t client, uint32_t serial,
                       IrsdMsg& reply, int status) {
    reply.num[IRSD_STATUS] = static_cast<uint32_t>(status);
    send(clients, client, serial, reply);
}

IrsdPorts::Pending* IrsdPorts::freePending() {
    for (Pending& pending : pendings) {
        if (!pending.used) {
            return &pending;
        }
    }
    return nullptr;
}

IrsdHeld IrsdPorts::held(size_t client, uint32_t serial, size_t port) const {
    IrsdHeld count;
    for (const Pending& p : pendings) {
        if (p.used && p.client == client && p.serial == serial) {
            ++count.pending;
            count.channels += p.type == IRSD_CONNECT || p.type == IRSD_LISTEN;
        }
    }
    for (const Record& r : records) {
        count.channels += r.used && r.client == client && r.serial == serial;
    }
    for (const Served::Owner& o : ports.at(port)->services) {
        count.services += o.used && o.client == client && o.serial == serial;
    }
    return count;
}

IrsdPorts::Record* IrsdPorts::findRecord(size_t client, uint32_t serial, uint32_t id) {
    for (Record& r : records) {
        if (r.used && r.client == client && r.serial == serial && r.id == id) {
            return &r;
        }
    }
    return nullptr;
}

void IrsdPorts::request(std::span<IrsdClient> clients, size_t client, const IrsdMsg& msg) {
    IrsdClient& c = clients[client];
    Served& s = *ports.at(c.port);
    IrsdMsg reply;
    irsdInit(reply, msg.type | IRSD_REPLY, msg.id);
    int status = IRSD_OK;
    Pending pending{true, client, c.serial, msg.id, msg.type, 0, c.port, 0, -1};
    switch (msg.type) {
    case IRSD_CTL_STATUS:
    case IRSD_CTL_DEVICES:
        control(clients, client, msg);
        return;
    case IRSD_PORT_STATUS:
        portStatus(s, reply);
        break;
    case IRSD_CLOSE_PORT:
        leave(client, c.serial);
        c.session.opened = false;
        break;
    case IRSD_CHANNEL_STATUS:
    case IRSD_CHANNEL_DESCRIBE:
    case IRSD_CHANNEL_ABORT:
    case IRSD_CHANNEL_CLOSE:
        status = channelRequest(client, c.serial, msg, reply, pending);
        break;
    case IRSD_SET_IDENTITY:
        status =
            s.live ? s.port->setIdentity(std::string(irsdText(msg, IRSD_IDENTITY_NICKNAME)).c_str(),
                                         static_cast<uint16_t>(msg.num[IRSD_IDENTITY_HINTS]))
                   : IRSD_ERR_PORT;
        break;
    case IRSD_SET_LINK_LIMITS:
        status = s.live ? s.port->setLinkLimits(static_cast<int>(msg.num[IRSD_LIMITS_WINDOW]),
                                                static_cast<int>(msg.num[IRSD_LIMITS_FRAME]))
                        : IRSD_ERR_PORT;
        break;
    case IRSD_DISCOVER:
    case IRSD_QUERY:
    case IRSD_CONNECT:
    case IRSD_LISTEN:
        status = !s.live  ? IRSD_ERR_PORT
                 : s.lost ? IRSD_ERR_PORT_LOST
                          : irsdWithinLimits(msg.type, held(client, c.serial, c.port), false);
        if (status == IRSD_OK) {
            pending.tag = ++lastTag;
            status = startRequest(clients, client, msg, s, pending.tag, pending);
        }
        break;
    default:
        status = IRSD_ERR_UNSUPPORTED;
        break;
    }
    if (pending.tag != 0 && status == IRSD_OK) {
        Pending* slot = freePending();
        if (slot != nullptr) {
            *slot = pending;
            return; // the reply comes when the port says the request is done
        }
        status = IRSD_ERR_NO_MEMORY;
    }
    answer(clients, client, c.serial, reply, status);
}

int IrsdPorts::startRequest(std::span<IrsdClient> /*clients*/, size_t client, const IrsdMsg& msg,
                            Served& s, uint32_t tag, Pending& pending) {
    const auto timeout = irsdInt(msg, IRSD_SVC_TIMEOUT);
    if (msg.type == IRSD_DISCOVER) {
        pending.max = static_cast<uint8_t>(msg.num[IRSD_DISCOVER_MAX]);
        return s.port->discover(tag, irsdInt(msg, IRSD_DISCOVER_TIMEOUT));
    }
    if (msg.type == IRSD_QUERY) {
        pending.max = static_cast<uint8_t>(msg.num[IRSD_QUERY_MAX]);
        const auto className = nameOf(msg, IRSD_SVC_CLASS);
        const auto attribute = nameOf(msg, IRSD_SVC_ATTRIBUTE);
        return pending.max == 0 ? IRSD_ERR_ARG
                                : s.port->query(tag, className.data(), attribute.data(), timeout);
    }
    const uint32_t mode = msg.num[IRSD_SVC_MODE];
    if (mode > 1) {
        return IRSD_ERR_ARG;
    }
    const auto className = nameOf(msg, IRSD_SVC_CLASS);
    const auto attribute = nameOf(msg, IRSD_SVC_ATTRIBUTE);
    const char* attributeOrNull = orNull(className) != nullptr ? orNull(attribute) : nullptr;
    if (msg.type == IRSD_CONNECT) {
        return s.port->connect(tag, orNull(className), attributeOrNull,
                               irsdInt(msg, IRSD_CONNECT_LSAP), mode == 1, timeout);
    }
    // A listen: the client's service under these names, offered now when it is new.
    int service = -1;
    for (size_t i = 0; i < s.services.size(); ++i) {
        const Served::Owner& o = s.services[i];
        if (o.used && o.client == client && o.serial == pending.serial &&
            o.className == className && o.attribute == attribute) {
            service = static_cast<int>(i);
        }
    }
    if (service < 0) {
        if (irsdWithinLimits(IRSD_LISTEN, held(client, pending.serial, pending.port), true) !=
            IRSD_OK) {
            return IRSD_ERR_NO_MEMORY;
        }
        service = s.port->offer(orNull(className), attributeOrNull, mode == 1);
        if (service < 0) {
            return service; // offered by another client already, or no room
        }
        s.services.at(static_cast<size_t>(service)) = {true, client, pending.serial, className,
                                                       attribute};
    }
    return s.port->listen(tag, service, timeout);
}

void IrsdPorts::portStatus(Served& s, IrsdMsg& reply) {
    if (!s.live) {
        reply.num[IRSD_PORT_R_ERROR] = static_cast<uint32_t>(s.openError);
        irsdSetText(reply, IRSD_PORT_R_TEXT, "the port did not open");
        return;
    }
    const IrPortStatus status = s.port->status();
    reply.num[IRSD_PORT_R_PHASE] = static_cast<uint32_t>(status.phase);
    reply.num[IRSD_PORT_R_PEER] = status.peer;
    reply.num[IRSD_PORT_R_SPEED] = status.speed;
    reply.num[IRSD_PORT_R_ERROR] = s.line->lostError() != 0 ? s.line->lostSystemError() : 0;
    if (s.lost || s.line->lostError() != 0) {
        irsdSetText(reply, IRSD_PORT_R_TEXT, "port lost");
    } else if (status.lastError == IR_ERR_TIMEOUT) {
        // As a port of the library's own process says it.
        static_assert(PRIMARY_GIVE_UP_MS == SECONDARY_GIVE_UP_MS);
        std::array<char, IRSD_ERROR_TEXT_MAX + 1> text{};
        std::snprintf(text.data(), text.size(), "peer gone: no answer for %u.%u s",
                      static_cast<unsigned>(PRIMARY_GIVE_UP_MS / 1000),
                      static_cast<unsigned>(PRIMARY_GIVE_UP_MS % 1000 / 100));
        irsdSetText(reply, IRSD_PORT_R_TEXT, text.data());
    } else if (status.lastError != IR_OK) {
        irsdSetText(reply, IRSD_PORT_R_TEXT, irErrText(status.lastError));
    }
}

int IrsdPorts::channelRequest(size_t client, uint32_t serial, const IrsdMsg& msg, IrsdMsg& reply,
                              Pending& pending) {
    Record* r = findRecord(client, serial, msg.num[IRSD_CHANNEL_ID]);
    if (r == nullptr) {
        return IRSD_ERR_HANDLE; // not one of this client's channels
    }
    IrPort& port = *ports.at(r->port)->port;
    const bool open = r->lane >= 0 && !r->ended && port.isOpen(r->lane);
    switch (msg.type) {
    case IRSD_CHANNEL_STATUS:
        reply.num[IRSD_CSTATUS_R_OPEN] = open ? 1 : 0;
        reply.num[IRSD_CSTATUS_R_AVAILABLE] =
            static_cast<uint32_t>((r->lane >= 0 ? port.available(r->lane) : 0)) +
            static_cast<uint32_t>(r->held - r->sentAt);
        reply.num[IRSD_CSTATUS_R_ROOM] = open ? static_cast<uint32_t>(port.room(r->lane)) : 0;
        reply.num[IRSD_CSTATUS_R_UNACKED] =
            r->lane >= 0 ? static_cast<uint32_t>(port.unacknowledged(r->lane)) : 0;
        return IRSD_OK;
    case IRSD_CHANNEL_DESCRIBE:
        reply.num[IRSD_DESCRIBE_R_LOCAL] = r->info.local;
        reply.num[IRSD_DESCRIBE_R_PEER] = r->info.peer;
        reply.num[IRSD_DESCRIBE_R_MODE] = r->info.raw ? 1 : 0;
        irsdSetText(reply, IRSD_DESCRIBE_R_CLASS, r->info.className.data());
        irsdSetText(reply, IRSD_DESCRIBE_R_ATTRIBUTE, r->info.attribute.data());
        return IRSD_OK;
    case IRSD_CHANNEL_ABORT:
        release(*r, true);
        return IRSD_OK;
    default:
        break;
    }
    if (r->closing) {
        return IRSD_ERR_STATE;
    }
    if (irsdWithinLimits(IRSD_CHANNEL_CLOSE, held(client, serial, r->port), false) != IRSD_OK) {
        return IRSD_ERR_NO_MEMORY;
    }
    if (r->lane < 0) {
        // Ended, and what it carried was delivered: told once the link it ended is down.
        pending.tag = ++lastTag;
        if (port.awaitLinkEnd(pending.tag) != IRSD_OK) {
            pending.tag = 0;
            release(*r, true);
            return IRSD_OK;
        }
        r->closing = true;
        r->closeStarted = true;
        pending.record = static_cast<int>(r - records.data());
        r->closeRequest = pending.tag;
        return IRSD_OK;
    }
    const int linger = irsdInt(msg, IRSD_CLOSE_LINGER);
    r->closing = true;
    r->closeStarted = false;
    r->closeBy =
        std::chrono::steady_clock::now() +
        std::chrono::milliseconds(linger < 0 ? LINGER_DEFAULT_MS : std::min(linger, LINGER_MAX_MS));
    pending.tag = ++lastTag;
    pending.record = static_cast<int>(r - records.data());
    r->closeRequest = pending.tag;
    return IRSD_OK;
}

void IrsdPorts::leave(size_t client, uint32_t serial) {
    for (Record& r : records) {
        if (r.used && r.client == client && r.serial == serial) {
            release(r, true);
        }
    }
    for (Pending& p : pendings) {
        if (p.used && p.client == client && p.serial == serial) {
            p.used = false;
            if (ports.at(p.port)->live) {
                ports.at(p.port)->port->cancel(p.tag);
            }
        }
    }
    for (auto& served : ports) {
        for (size_t i = 0; i < served->services.size(); ++i) {
            Served::Owner& o = served->services[i];
            if (o.used && o.client == client && o.serial == serial) {
                o = Served::Owner{};
                served->port->withdraw(static_cast<int>(i));
            }
        }
    }
}
