// The in-process transport's port calls: open and close, the link limits, connect and listen, and
// a channel's close, each a request to the port's IrPort and a wait for its completion.
#include <cstring>
#include <new>

#include "irs_local.h"
#include "lap_terms.h"

namespace {

const char* nameOrNull(const std::array<char, IAS_NAMES_MAX + 1>& name) {
    return name[0] != '\0' ? name.data() : nullptr;
}

bool sameNames(const IrsService& a, const IrsService& b) {
    return std::strcmp(a.className.data(), b.className.data()) == 0 &&
           std::strcmp(a.attribute.data(), b.attribute.data()) == 0;
}

bool anyOpen(const IrsPort& port) {
    for (const IrsChannel& channel : port.channels) {
        if (channel.open.load()) {
            return true;
        }
    }
    return false;
}

bool anyListening(const IrsLocal& local) {
    for (const bool waits : local.listening) {
        if (waits) {
            return true;
        }
    }
    return false;
}

// The open channel handed out.
irs_channel* handOut(IrsPort& port, int lane, int service) {
    IrsChannel& channel = port.channels.at(static_cast<size_t>(lane));
    channel.open.store(true);
    port.local->serviceOf.at(static_cast<size_t>(lane)) = service;
    irsLocalShow(port, channel);
    return irsChannelHandOut(port, channel);
}

// The service offered under these names (device role), offered now when it is new; its index or
// an error.
int serviceFor(IrsLocal& local, const IrsService& wanted) {
    for (size_t i = 0; i < local.offered.size(); ++i) {
        if (local.offeredUsed.at(i) && sameNames(local.offered.at(i), wanted)) {
            return static_cast<int>(i);
        }
    }
    const int index =
        local.port.offer(nameOrNull(wanted.className),
                         wanted.className[0] != '\0' ? nameOrNull(wanted.attribute) : nullptr,
                         wanted.mode == IRS_MODE_RAW);
    if (index >= 0) {
        local.offered.at(static_cast<size_t>(index)) = wanted;
        local.offeredUsed.at(static_cast<size_t>(index)) = true;
    }
    return index;
}

int listen(IrsPort& port, const IrsService& wanted, int timeoutMs, irs_channel** out) {
    IrsLocal& local = *port.local;
    std::unique_lock<std::mutex> hold(local.lock);
    if (port.closing.load()) {
        return IRS_ERR_HANDLE;
    }
    irsLocalRevive(port);
    const int service = serviceFor(local, wanted);
    if (service < 0) {
        return service == IRS_ERR_ARG ? IRS_ERR_ARG : IRS_ERR_NO_MEMORY;
    }
    for (size_t lane = 0; lane < port.channels.size(); ++lane) {
        if (port.channels.at(lane).open.load() && local.serviceOf.at(lane) == service) {
            return IRS_ERR_STATE; // its channel is open
        }
    }
    IrsWait* wait = irsLocalWaitFor(local);
    if (wait == nullptr) {
        return IRS_ERR_NO_MEMORY;
    }
    const int started = local.port.listen(wait->tag, service, timeoutMs);
    if (started != IRS_OK) {
        *wait = IrsWait{};
        return started;
    }
    local.listening.at(static_cast<size_t>(service)) = true;
    local.listened = true;
    const IrPortEvent done = irsLocalAwait(port, hold, *wait);
    local.listening.at(static_cast<size_t>(service)) = false;
    if (done.status != IRS_OK) {
        return done.status;
    }
    *out = handOut(port, done.channel, service);
    return IRS_OK;
}

int connect(IrsPort& port, const IrsService& wanted, int timeoutMs, irs_channel** out) {
    IrsLocal& local = *port.local;
    if (std::strlen(wanted.className.data()) + std::strlen(wanted.attribute.data()) >
        IAS_NAMES_MAX) {
        return IRS_ERR_ARG;
    }
    // A link's set-up is one at a time; a channel over the link that is up goes beside the others.
    std::unique_lock<std::mutex> operation(port.operationLock, std::defer_lock);
    std::unique_lock<std::mutex> hold(local.lock, std::defer_lock);
    irsLocalHold(operation, hold,
                 [&] { return local.port.status().role == IRPORT_COMPUTER && anyOpen(port); });
    int status = IRS_OK;
    IrsWait* const wait = irsLocalBegin(port, status);
    if (wait == nullptr) {
        return status;
    }
    const int started =
        local.port.connect(wait->tag, nameOrNull(wanted.className),
                           wanted.className[0] != '\0' ? nameOrNull(wanted.attribute) : nullptr,
                           wanted.lsap, wanted.mode == IRS_MODE_RAW, timeoutMs);
    if (started != IRS_OK) {
        *wait = IrsWait{};
        return started;
    }
    const IrPortEvent done = irsLocalAwait(port, hold, *wait);
    if (done.status != IRS_OK) {
        return done.status;
    }
    *out = handOut(port, done.channel, -1);
    return IRS_OK;
}

// After a channel's close: its service withdrawn when nothing else holds it, and a device whose
// last channel closed takes settings again.
void settle(IrsPort& port, int service) {
    IrsLocal& local = *port.local;
    if (service >= 0 && !local.listening.at(static_cast<size_t>(service))) {
        bool held = false;
        for (size_t lane = 0; lane < port.channels.size(); ++lane) {
            held =
                held || (port.channels.at(lane).open.load() && local.serviceOf.at(lane) == service);
        }
        if (!held) {
            local.port.withdraw(service);
            local.offeredUsed.at(static_cast<size_t>(service)) = false;
        }
    }
    if (!anyOpen(port) && !anyListening(local)) {
        local.listened = false;
    }
}

} // namespace

int irsLocalOpen(const char* path, const TransceiverVariant& transceiver, uint32_t maxSpeed,
                 int role, std::shared_ptr<IrsPort>& opened) {
    opened.reset(new (std::nothrow) IrsPort(transceiver, role));
    if (!opened) {
        return IRS_ERR_NO_MEMORY;
    }
    if (!opened->line.setPortName(path)) {
        return IRS_ERR_ARG;
    }
    irsLogInstall();
    // Held from now until irs_close, so no other program drives the same dongle meanwhile.
    const DWORD error = opened->line.hold();
    if (error != ERROR_SUCCESS) {
        return irsOpenError(path, error, hostSystemError());
    }
    opened->speedBits =
        lapBaudBitsUpTo(opened->line.offeredBaudBits(), maxSpeed != 0 ? maxSpeed : UINT32_MAX);
    opened->local.reset(new (std::nothrow) IrsLocal(opened->line, opened->speedBits));
    if (!opened->local) {
        return IRS_ERR_NO_MEMORY;
    }
    IrsLocal& local = *opened->local;
    local.serviceOf.fill(-1);
    // Nothing is sent before a request; a computer's port never answers discovery.
    local.port.setQuiet(true);
    if (!local.port.start() || !irsLocalStart(*opened)) {
        return IRS_ERR_NO_MEMORY;
    }
    return IRS_OK;
}

int irsLocalSetLinkLimits(IrsPort& port, int maxWindow, int maxFrame) {
    std::unique_lock<std::mutex> hold(port.local->lock, std::defer_lock);
    if (!irsLockOutsideLog(hold)) {
        return IRS_ERR_STATE; // the call under way may be the one waiting for the log
    }
    std::unique_lock<std::mutex> operation(port.operationLock, std::defer_lock);
    if (!operation.try_lock() || port.local->listened || anyOpen(port)) {
        return IRS_ERR_STATE; // the offer is read while the link is made
    }
    return port.local->port.setLinkLimits(maxWindow, maxFrame);
}

void irsLocalClose(IrsPort& port) {
    port.closing.store(true);
    {
        const std::lock_guard<std::mutex> hold(port.local->lock);
        for (IrsChannel& channel : port.channels) {
            channel.open.store(false);
            hostReadySet(channel.ready, false, false); // waits in other threads end
        }
    }
    port.local->finished.notify_all();
    irsLocalStop(port);
    port.line.release();
}

int irsLocalOpenChannel(IrsPort& port, const IrsService& service, int timeoutMs,
                        irs_channel** channel) {
    return port.role == IRS_ROLE_DEVICE ? listen(port, service, timeoutMs, channel)
                                        : connect(port, service, timeoutMs, channel);
}

int irsLocalCloseChannel(const IrsChannelRef& found, bool abortive) {
    IrsPort& port = *found.port;
    IrsChannel& channel = *found.channel;
    IrsLocal& local = *port.local;
    std::unique_lock<std::mutex> hold(local.lock);
    if (!irsChannelRetire(found)) {
        return IRS_ERR_HANDLE; // another thread closed it first
    }
    const int lane = channel.lane;
    const int service = local.serviceOf.at(static_cast<size_t>(lane));
    const int ended = channel.endStatus.load();
    const long unacknowledged = channel.endUnacknowledged.load();
    int result = IRS_OK;
    // A port whose device went runs no more: its channels are dropped at once.
    const bool lost = ended == IRS_ERR_PORT_LOST || port.line.lostError() != 0;
    IrsWait* wait = abortive || lost ? nullptr : irsLocalWaitFor(local);
    if (wait != nullptr && local.port.close(wait->tag, lane, channel.lingerMs.load()) == IRS_OK) {
        result = irsLocalAwait(port, hold, *wait).status;
        if (result == IRS_ERR_HANDLE) {
            return result; // the port was closed meanwhile
        }
    } else {
        if (wait != nullptr) {
            *wait = IrsWait{};
        }
        local.port.abort(lane);
        if (!abortive && ended != 0 && unacknowledged > 0) {
            result = ended; // its end left bytes behind
        }
        channel.open.store(false);
        // The last channel's end ends the link, which the peer learns before this returns.
        IrsWait* linkEnd = anyOpen(port) ? nullptr : irsLocalWaitFor(local);
        if (linkEnd != nullptr && local.port.awaitLinkEnd(linkEnd->tag) == IRS_OK) {
            irsLocalAwait(port, hold, *linkEnd);
        } else if (linkEnd != nullptr) {
            *linkEnd = IrsWait{};
        }
    }
    channel.open.store(false);
    local.serviceOf.at(static_cast<size_t>(lane)) = -1;
    irsLocalShow(port, channel);
    settle(port, service);
    return result;
}
