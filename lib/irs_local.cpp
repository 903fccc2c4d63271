// The in-process transport: the service thread that drives each port's IrPort, the waits for its
// requests, the channels' bytes and readiness, and the table that gathers the transport's calls.
#include "irs_local.h"

#include <algorithm>

#include "irport_codes.h"

// The port layer answers with the header's codes and phases, value for value.
static_assert(IRPORT_OK == IRS_OK && IRPORT_ERR_ARG == IRS_ERR_ARG &&
              IRPORT_ERR_HANDLE == IRS_ERR_HANDLE && IRPORT_ERR_STATE == IRS_ERR_STATE &&
              IRPORT_ERR_TIMEOUT == IRS_ERR_TIMEOUT && IRPORT_ERR_PORT == IRS_ERR_PORT &&
              IRPORT_ERR_PORT_LOST == IRS_ERR_PORT_LOST &&
              IRPORT_ERR_PEER_GONE == IRS_ERR_PEER_GONE &&
              IRPORT_ERR_NO_SERVICE == IRS_ERR_NO_SERVICE && IRPORT_ERR_IO == IRS_ERR_IO &&
              IRPORT_ERR_UNSUPPORTED == IRS_ERR_UNSUPPORTED &&
              IRPORT_ERR_NO_MEMORY == IRS_ERR_NO_MEMORY);
static_assert(IRPORT_PHASE_IDLE == IRS_PHASE_IDLE &&
              IRPORT_PHASE_SEARCHING == IRS_PHASE_SEARCHING &&
              IRPORT_PHASE_CONNECTED == IRS_PHASE_CONNECTED && IRPORT_PHASE_OPEN == IRS_PHASE_OPEN);
static_assert(IRPORT_WINDOW_MAX == IRS_WINDOW_MAX && IRPORT_FRAME_MIN == IRS_FRAME_MIN &&
              IRPORT_FRAME_MAX == IRS_FRAME_MAX);
static_assert(IRPORT_CHANNELS == IRS_CHANNELS_MAX, "a handle for each of the port's channels");

namespace {

// While a request waits or the port is the computer, the thread looks this often for a device
// gone, which the engines tell of only when they give a link up.
constexpr int LOOK_MS = 1000;

bool busy(IrsLocal& local) {
    return std::any_of(local.waits.begin(), local.waits.end(),
                       [](const IrsWait& wait) { return wait.used; });
}

void deliver(IrsPort& port, const IrPortEvent& event) {
    IrsLocal& local = *port.local;
    if (event.kind == IRPORT_DONE) {
        if (event.status == IRS_OK && event.channel >= 0 &&
            static_cast<size_t>(event.channel) < port.channels.size()) {
            // A channel opened: its end, should one follow in the same turn, comes after this.
            IrsChannel& opened = port.channels.at(static_cast<size_t>(event.channel));
            opened.endStatus.store(0);
            opened.endUnacknowledged.store(0);
            opened.ended.store(false);
        }
        for (IrsWait& wait : local.waits) {
            if (wait.used && !wait.done && wait.tag == event.tag) {
                wait.done = true;
                wait.result = event;
            }
        }
    } else if (event.kind == IRPORT_CHANNEL_ENDED && event.channel >= 0 &&
               static_cast<size_t>(event.channel) < port.channels.size()) {
        IrsChannel& channel = port.channels.at(static_cast<size_t>(event.channel));
        channel.endUnacknowledged.store(event.value);
        channel.endStatus.store(event.status != IRS_OK ? event.status : IRS_ERR_PEER_GONE);
    }
}

// One turn: the port's changes taken in, the requests done told, the channels' readiness shown.
// The time to wait for the next, or -1 when the thread ends.
int serve(IrsPort& port) {
    IrsLocal& local = *port.local;
    const std::lock_guard<std::mutex> hold(local.lock);
    if (local.stopping) {
        return -1;
    }
    if (port.line.lostError() != 0) {
        local.port.lose(); // ends what was under way, once
    }
    local.port.update();
    IrPortEvent event;
    while (local.port.takeEvent(event)) {
        deliver(port, event);
    }
    irsLocalKeepStatus(local);
    for (IrsChannel& channel : port.channels) {
        irsLocalShow(port, channel);
    }
    local.finished.notify_all();
    const int next = local.port.nextTimeoutMs();
    const bool watch = busy(local) || local.port.status().role == IRPORT_COMPUTER;
    return watch ? (next < 0 ? LOOK_MS : std::min(next, LOOK_MS)) : (next < 0 ? INT32_MAX : next);
}

DWORD WINAPI serviceEntry(LPVOID context) {
    IrsPort& port = *static_cast<IrsPort*>(context);
    for (;;) {
        const int next = serve(port);
        if (next < 0) {
            return 0;
        }
        port.local->port.awaitReady(next == INT32_MAX ? -1 : next);
    }
}

// Takes the port's lock; inside the log function only when it is free at once.
bool lockPort(IrsPort& port, std::unique_lock<std::mutex>& hold) {
    hold = std::unique_lock<std::mutex>(port.local->lock, std::defer_lock);
    return irsLockOutsideLog(hold);
}

size_t take(IrsPort& port, IrsChannel& channel, uint8_t* buffer, size_t size) {
    std::unique_lock<std::mutex> hold;
    return lockPort(port, hold) ? port.local->port.read(channel.lane, buffer, size) : 0;
}

size_t put(IrsPort& port, IrsChannel& channel, const uint8_t* data, size_t size) {
    std::unique_lock<std::mutex> hold;
    if (!lockPort(port, hold) || channel.endStatus.load() != 0) {
        return 0;
    }
    return port.local->port.write(channel.lane, data, size);
}

long available(IrsPort& port, IrsChannel& channel) {
    std::unique_lock<std::mutex> hold;
    return lockPort(port, hold) ? port.local->port.available(channel.lane) : 0;
}

uint32_t mark(IrsChannel& channel) {
    return hostReadyChanges(channel.ready);
}

void wait(IrsPort& /*port*/, IrsChannel& channel, uint32_t seen, bool /*writing*/, int waitMs) {
    hostReadyWait(channel.ready, seen, waitMs);
}

void changed(IrsPort& port, IrsChannel& channel) {
    std::unique_lock<std::mutex> hold;
    if (lockPort(port, hold)) {
        irsLocalShow(port, channel);
    }
}

int fd(IrsPort& port, IrsChannel& channel) {
    if (!HOST_READY_FD) {
        return IRS_ERR_UNSUPPORTED;
    }
    const int fd = hostReadyFd(channel.ready);
    if (fd < 0) {
        return IRS_ERR_IO;
    }
    changed(port, channel);
    return fd;
}

} // namespace

void irsLocalKeepStatus(IrsLocal& local) {
    const IrPortStatus status = local.port.status();
    local.phase.store(status.phase);
    local.peer.store(status.peer);
    local.speed.store(status.speed);
    local.lastError.store(static_cast<int>(status.lastError));
}

void irsLocalShow(IrsPort& port, IrsChannel& channel) {
    IrPort& engine = port.local->port;
    const bool open = channel.open.load();
    const bool ended = open && irsChannelFailure(port, channel) != IRS_OK;
    hostReadySet(channel.ready, open && (ended || engine.available(channel.lane) > 0),
                 open && (ended || engine.room(channel.lane) > 0));
}

bool irsLocalStart(IrsPort& port) {
    port.local->service = CreateThread(nullptr, 0, serviceEntry, &port, 0, nullptr);
    return port.local->service != nullptr;
}

void irsLocalStop(IrsPort& port) {
    if (!port.local) {
        return;
    }
    IrsLocal& local = *port.local;
    {
        const std::lock_guard<std::mutex> hold(local.lock);
        local.stopping = true;
        local.port.wake();
    }
    local.finished.notify_all();
    if (local.service != nullptr) {
        WaitForSingleObject(local.service, INFINITE);
        CloseHandle(local.service);
        local.service = nullptr;
    }
    const std::lock_guard<std::mutex> hold(local.lock);
    local.port.stop();
    port.line.close();
}

IrsWait* irsLocalWaitFor(IrsLocal& local) {
    for (IrsWait& wait : local.waits) {
        if (!wait.used) {
            wait = IrsWait{true, false, ++local.lastTag, {}};
            return &wait;
        }
    }
    return nullptr;
}

IrPortEvent irsLocalAwait(IrsPort& port, std::unique_lock<std::mutex>& hold, IrsWait& wait) {
    IrsLocal& local = *port.local;
    irsLocalKeepStatus(local); // the request just started shows at once
    local.finished.wait(hold, [&] { return wait.done || local.stopping || port.closing.load(); });
    IrPortEvent result = wait.result;
    if (!wait.done) {
        if (!local.stopping) {
            local.port.cancel(wait.tag); // the port is closing: what it did for the call ends
        }
        result.status = IRS_ERR_HANDLE;
    }
    wait = IrsWait{};
    return result;
}

void irsLocalRevive(IrsPort& port) {
    // A port whose device went is opened afresh, as a station's start did; a running one stays.
    port.local->port.restart();
}

IrsWait* irsLocalBegin(IrsPort& port, int& status) {
    if (port.closing.load()) {
        status = IRS_ERR_HANDLE;
        return nullptr;
    }
    irsLocalRevive(port);
    IrsWait* const wait = irsLocalWaitFor(*port.local);
    status = wait != nullptr ? IRS_OK : IRS_ERR_NO_MEMORY;
    return wait;
}

const IrsTransport IRS_LOCAL_TRANSPORT{
    .portStatus = irsLocalPortStatus,
    .setLinkLimits = irsLocalSetLinkLimits,
    .setIdentity = irsLocalSetIdentity,
    .discover = irsLocalDiscover,
    .openChannel = irsLocalOpenChannel,
    .query = irsLocalQuery,
    .close = irsLocalClose,
    .take = take,
    .put = put,
    .available = available,
    .failure = irsChannelFailure,
    .drained = [](IrsPort& /*port*/, IrsChannel& /*channel*/) { return true; },
    .mark = mark,
    .wait = wait,
    .changed = changed,
    .fd = fd,
    .channelStatus = irsLocalChannelStatus,
    .describe = irsLocalDescribe,
    .closeChannel = irsLocalCloseChannel,
};
