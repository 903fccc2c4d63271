// The port calls of the C interface: open and close, discovery, connect and listen. Each checks
// its arguments and the handle before it touches anything.
#include <cstring>
#include <new>

#include "discovery.h"
#include "irs_session.h"
#include "lap_terms.h"

namespace {

constexpr uint32_t MIN_SPEED = 9600;

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

// A discovery round found devices: the discovery waiting on the port may return.
void roundAnswered(void* context) {
    auto& port = *static_cast<IrsPort*>(context);
    const std::lock_guard<std::mutex> hold(port.closeLock);
    port.closeSignal.notify_all();
}

// The offer with the link's limits.
void setLimits(IrsPort& port, int maxWindow, int maxFrame) {
    const LapOffer offer = lapFullOffer(port.speedBits, static_cast<uint8_t>(maxWindow),
                                        static_cast<uint16_t>(maxFrame));
    if (port.computer) {
        port.computer->setOffer(offer);
    } else {
        port.device->setOffer(offer);
    }
}

int laneEndError(ChannelEnd reason) {
    return reason == CHANNEL_END_NO_SERVICE || reason == CHANNEL_END_REFUSED ? IRS_ERR_NO_SERVICE
                                                                             : IRS_ERR_PEER_GONE;
}

// The lane has failed for good (IRS_OK while it may still open).
int laneFailure(IrsPort& port, const IrsChannel& channel) {
    if (port.closing.load()) {
        return IRS_ERR_HANDLE;
    }
    if (port.line.lostError() != 0) {
        return IRS_ERR_PORT_LOST;
    }
    if (!port.stationLive.load()) {
        return IRS_ERR_PEER_GONE; // the last channel's close ended the link under it
    }
    if (!port.computer) {
        return IRS_OK;
    }
    if (channel.lane == 0) {
        return port.computer->serviceMissing() > 0 ? IRS_ERR_NO_SERVICE : IRS_OK;
    }
    LmChannel& lane = port.connection().extra(channel.lane);
    return lane.state() == CHANNEL_ENDED || lane.state() == CHANNEL_IDLE
               ? laneEndError(lane.endReason())
               : IRS_OK;
}

// Waits until the channel's lane opens and hands the channel out.
int awaitLane(IrsPort& port, IrsChannel& channel, int timeoutMs, irs_channel** out) {
    const IrsDeadline deadline(timeoutMs);
    for (;;) {
        const uint32_t seen = hostReadyChanges(channel.ready);
        if (port.laneOpen(channel.lane)) {
            channel.ended.store(false);
            channel.open.store(true);
            port.setAwaited(channel, false);
            port.updateSignal(channel);
            *out = irsChannelHandOut(port, channel);
            return IRS_OK;
        }
        if (port.device && channel.lane > 0 &&
            port.connection().extra(channel.lane).state() == CHANNEL_ENDED) {
            port.connection().extra(channel.lane).requestClose(); // ended before anyone took it
        }
        const int failure = laneFailure(port, channel);
        if (failure != IRS_OK) {
            return failure;
        }
        if (deadline.passed()) {
            return IRS_ERR_TIMEOUT;
        }
        hostReadyWait(channel.ready, seen, deadline.left());
    }
}

// A wait that failed: the lane goes back, and the station stops when nothing else needs it (a
// device keeps offering its services after a mere time-out).
void giveBack(IrsPort& port, IrsChannel& channel, int result) {
    port.setAwaited(channel, false);
    if (port.computer && channel.lane > 0) {
        port.computer->closeChannel(channel.lane);
    }
    const bool keep = port.device && result == IRS_ERR_TIMEOUT;
    if (!keep && !port.inUse()) {
        port.stopStation();
    }
}

bool sameName(const std::array<char, IAS_NAMES_MAX + 1>& a,
              const std::array<char, IAS_NAMES_MAX + 1>& b) {
    return std::strcmp(a.data(), b.data()) == 0;
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
    std::array<char, IAS_NAMES_MAX + 1> wantedClass{};
    std::array<char, IAS_NAMES_MAX + 1> wantedAttribute{};
    if (!copyName(className, wantedClass) || !copyName(attribute, wantedAttribute) ||
        (port->computer && (lsap < -1 || lsap > 127))) {
        return IRS_ERR_ARG;
    }
    const bool raw = mode == IRS_MODE_RAW;
    std::unique_lock<std::mutex> hold(port->operationLock);
    if (port->closing.load()) {
        return IRS_ERR_HANDLE; // closed while this call waited for the lock
    }
    IrsChannel* waiting = &port->channels[0];
    if (port->computer && port->stationLive.load() &&
        port->computer->state() == primary::PRIMARY_CONNECTED && port->inUse()) {
        // Another channel over the link that is up.
        const int lane = port->computer->addChannel(nameOrNull(wantedClass),
                                                    nameOrNull(wantedAttribute), lsap, raw);
        if (lane < 0) {
            return std::strlen(wantedClass.data()) + std::strlen(wantedAttribute.data()) >
                           IAS_NAMES_MAX
                       ? IRS_ERR_ARG
                       : IRS_ERR_NO_MEMORY;
        }
        waiting = &port->channels.at(static_cast<size_t>(lane));
        port->setAwaited(*waiting, true);
        hold.unlock();
    } else if (port->device && port->stationLive.load()) {
        // The station runs: the first service again, or one more beside it.
        int lane = 0;
        if (!sameName(wantedClass, port->className) ||
            !sameName(wantedAttribute, port->attribute) || raw != port->firstRaw) {
            lane =
                port->device->addService(nameOrNull(wantedClass), nameOrNull(wantedAttribute), raw);
        }
        if (lane < 0) {
            return IRS_ERR_NO_MEMORY;
        }
        waiting = &port->channels.at(static_cast<size_t>(lane));
        if (waiting->open.load() || waiting->awaited.load()) {
            return IRS_ERR_STATE;
        }
        port->setAwaited(*waiting, true);
        hold.unlock();
    } else {
        if (port->inUse()) {
            return IRS_ERR_STATE; // channels of a link that has gone are still open
        }
        port->stopStation();
        port->className = wantedClass;
        port->attribute = wantedAttribute;
        port->firstRaw = raw;
        const IrErr set = port->computer
                              ? port->computer->setService(nameOrNull(port->className),
                                                           nameOrNull(port->attribute), lsap, raw)
                              : port->device->setService(nameOrNull(port->className),
                                                         nameOrNull(port->attribute), raw);
        if (set != IR_OK) {
            return irsFromIrErr(set);
        }
        if (port->computer) {
            port->computer->setDiscoverOnly(false);
        }
        // Before the start, so a device answers the first discovery.
        port->setAwaited(*waiting, true);
        irsRestart(*port);
        // A computer's first channel sets the link up: other calls wait for it. A device's
        // listeners wait side by side.
        if (port->device) {
            hold.unlock();
        }
    }
    const int result = awaitLane(*port, *waiting, timeoutMs, channel);
    if (result != IRS_OK) {
        if (!hold.owns_lock()) {
            hold.lock();
        }
        giveBack(*port, *waiting, result);
    }
    return result;
}

} // namespace

void irsRestart(IrsPort& port) {
    for (IrsChannel& channel : port.channels) {
        channel.open.store(false);
        channel.ended.store(false);
    }
    port.stopStation();
    if (port.computer) {
        port.computer->init();
        port.computer->startTask();
    } else {
        port.device->setDemoAnswers(false);
        port.device->clearServices();
        port.device->init();
        port.device->startTask();
    }
    port.stationLive.store(true);
}

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
    std::shared_ptr<IrsPort> opened(new (std::nothrow) IrsPort(*transceiver, role));
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
    setLimits(*opened, IRS_WINDOW_MAX, IRS_FRAME_MAX);
    if (opened->computer) {
        opened->computer->setRandomDiscovery(true);
        opened->computer->setRoundWatch(roundAnswered, opened.get());
    } else {
        opened->device->setRandomDiscovery(true);
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
    std::unique_lock<std::mutex> hold(port->operationLock, std::defer_lock);
    if (!irsLockOutsideLog(hold)) {
        return IRS_ERR_STATE; // the call under way may be the one waiting for the log
    }
    if (port->stationLive.load()) {
        return IRS_ERR_STATE; // the offer is read while the station runs
    }
    setLimits(*port, maxWindow, maxFrame);
    return IRS_OK;
}

extern "C" int irs_close(irs_port* handle) {
    if (irsInsideLog()) {
        return IRS_ERR_STATE; // the station's thread may be the one running the log
    }
    const auto port = irsUnregister(handle);
    if (!port) {
        return IRS_ERR_HANDLE;
    }
    {
        // Under the lock, so a discovery between its look and its wait still wakes.
        const std::lock_guard<std::mutex> hold(port->closeLock);
        port->closing.store(true);
    }
    port->closeSignal.notify_all();
    port->updateSignal(); // waits in other threads end
    const std::lock_guard<std::mutex> hold(port->operationLock);
    for (IrsChannel& channel : port->channels) {
        channel.open.store(false);
    }
    port->stopStation();
    port->line.release();
    return IRS_OK;
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
