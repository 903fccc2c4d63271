// The handle registry, the port object's life and the channels' readiness.
#include "irs_session.h"

#include <cstdio>
#include <utility>

#include "console.h"

namespace {

struct RegistrySlot {
    std::shared_ptr<IrsPort> port;
    uintptr_t generation = 0;
};

std::mutex registryLock;
std::array<RegistrySlot, IRS_PORTS_MAX> registry;
// Every handle takes the next; 0 is never one. Wraps only after 2^48 handles (2^16 where pointers
// have 32 bits).
std::atomic<uintptr_t> lastGeneration{0};

// A handle's fields, low bits first: slot + 1, lane, kind, generation.
constexpr unsigned SLOT_BITS = 8;
constexpr unsigned LANE_BITS = 4;
constexpr unsigned KIND_BITS = 4;
constexpr unsigned GENERATION_SHIFT = SLOT_BITS + LANE_BITS + KIND_BITS;
constexpr uintptr_t KIND_PORT = 0x5;
constexpr uintptr_t KIND_CHANNEL = 0xA;
static_assert(IRS_PORTS_MAX < (1U << SLOT_BITS) && IRS_CHANNELS_MAX <= (1U << LANE_BITS));

struct HandleFields {
    size_t slot = 0;
    size_t lane = 0;
    uintptr_t kind = 0;
    uintptr_t generation = 0;
};

uintptr_t nextGeneration() {
    constexpr uintptr_t mask = ~uintptr_t{0} >> GENERATION_SHIFT;
    uintptr_t generation = 0;
    while (generation == 0) {
        generation = (lastGeneration.fetch_add(1) + 1) & mask;
    }
    return generation;
}

// The handle's value in the C interface's pointer type; the library never dereferences it.
template <typename Handle>
Handle* encode(size_t slot, size_t lane, uintptr_t kind, uintptr_t generation) {
    const uintptr_t value = (generation << GENERATION_SHIFT) | (kind << (SLOT_BITS + LANE_BITS)) |
                            (uintptr_t{lane} << SLOT_BITS) | (slot + 1);
    return reinterpret_cast<Handle*>(value); // NOLINT(performance-no-int-to-ptr)
}

// False when the value cannot be a live handle of that kind.
bool decode(uintptr_t value, uintptr_t kind, HandleFields& fields) {
    fields.slot = (value & ((1U << SLOT_BITS) - 1)) - 1;
    fields.lane = (value >> SLOT_BITS) & ((1U << LANE_BITS) - 1);
    fields.kind = (value >> (SLOT_BITS + LANE_BITS)) & ((1U << KIND_BITS) - 1);
    fields.generation = value >> GENERATION_SHIFT;
    return fields.kind == kind && fields.slot < IRS_PORTS_MAX && fields.lane < IRS_CHANNELS_MAX &&
           fields.generation != 0;
}

// The end of a link: the LM disconnect, then the DISC and its UA (or the device's RD first), each
// at the next exchange; the primary gives the UA up after a repeat's wait, so a second and a half
// is ample.
constexpr int LINK_END_MS = 1500;

// The stack's word that a lane changed: its channel's readiness follows.
void laneChanged(void* context, int lane) {
    IrsPort& port = *static_cast<IrsPort*>(context);
    if (lane == LANE_ALL) {
        port.updateSignal();
    } else if (lane >= 0 && static_cast<size_t>(lane) < port.channels.size()) {
        port.updateSignal(port.channels.at(static_cast<size_t>(lane)));
    }
}

} // namespace

IrsPort::IrsPort(const TransceiverVariant& variant, int portRole)
    : role(portRole), transport(&IRS_LOCAL_TRANSPORT), line(variant) {
    // The log names each station by its role; the demo programs' label is theirs.
    if (role == IRS_ROLE_COMPUTER) {
        computer = std::make_unique<primary::PrimaryStation>(line);
        computer->setQuietAfterLink(true); // nothing is sent until the application asks
        computer->setStateLabel("computer");
    } else {
        device = std::make_unique<secondary::SecondaryStation>(line);
        device->setQuietAfterLink(true);
        device->setStateLabel("device");
    }
    connection().setObserver(LaneObserver{laneChanged, this});
    for (size_t lane = 0; lane < channels.size(); ++lane) {
        IrsChannel& channel = channels.at(lane);
        channel.owner = this;
        channel.lane = static_cast<uint8_t>(lane);
        // Without it irs_fd answers IRS_ERR_IO; everything else works.
        hostReadyOpen(channel.ready);
    }
}

#if !defined(_WIN32)
IrsPort::IrsPort(const TransceiverVariant& variant, int portRole, std::shared_ptr<IrsRemote> daemon)
    : role(portRole), transport(&IRS_DAEMON_TRANSPORT), remote(std::move(daemon)), line(variant) {
    for (size_t lane = 0; lane < channels.size(); ++lane) {
        channels.at(lane).owner = this;
        channels.at(lane).lane = static_cast<uint8_t>(lane);
    }
}
#endif

IrsPort::~IrsPort() {
#if !defined(_WIN32)
    if (remote) {
        irsRemoteRelease(*this);
        return;
    }
#endif
    stopStation();
    lapWatchSettle(connection().watch());
    for (IrsChannel& channel : channels) {
        hostReadyClose(channel.ready);
    }
}

LapConnection& IrsPort::connection() {
    return computer ? computer->connection() : device->connection();
}

void IrsPort::stopStation() {
    // No engine is left to end the channels.
    if (computer) {
        computer->stopTask();
        computer->connection().endExtras(CHANNEL_END_LINK);
    } else if (device) {
        device->stopTask();
        device->connection().endExtras(CHANNEL_END_LINK);
    }
    line.close();
    stationLive.store(false);
    updateSignal(); // waits on the channels look again
}

bool IrsPort::inUse() {
    for (const IrsChannel& channel : channels) {
        if (channel.open.load() || channel.awaited.load()) {
            return true;
        }
    }
    return false;
}

size_t IrsPort::laneRead(uint8_t lane, uint8_t* buffer, size_t size) {
    return lane == 0 ? connection().receive(buffer, size)
                     : connection().extra(lane).read(buffer, size);
}

size_t IrsPort::laneWrite(uint8_t lane, const uint8_t* data, size_t size) {
    return lane == 0 ? connection().send(data, size) : connection().extra(lane).write(data, size);
}

int IrsPort::laneRoom(uint8_t lane) {
    return lane == 0 ? connection().room() : connection().extra(lane).room();
}

int IrsPort::laneAvailable(uint8_t lane) {
    return lane == 0 ? connection().available() : connection().extra(lane).available();
}

bool IrsPort::laneOpen(uint8_t lane) {
    return lane == 0 ? connection().phase() == LINK_OPEN
                     : connection().extra(lane).state() == CHANNEL_OPEN;
}

void IrsPort::updateSignal() {
    for (IrsChannel& channel : channels) {
        updateSignal(channel);
    }
}

void IrsPort::updateSignal(IrsChannel& channel) {
    const std::lock_guard<std::mutex> hold(channel.signalLock);
    const bool open = channel.open.load();
    const bool ended = open && irsChannelFailure(*this, channel) != IRS_OK;
    hostReadySet(channel.ready, open && (ended || laneAvailable(channel.lane) > 0),
                 open && (ended || laneRoom(channel.lane) > 0));
}

void IrsPort::endLink() {
    if (linkDown()) {
        return;
    }
    if (computer) {
        computer->requestLinkEnd();
    } else {
        device->requestLinkEnd();
    }
    // Any lane's readiness moves with the station's state.
    HostReady& watched = channels[0].ready;
    const IrsDeadline deadline(LINK_END_MS);
    for (;;) {
        const uint32_t seen = hostReadyChanges(watched);
        if (linkDown() || deadline.passed()) {
            return;
        }
        hostReadyWait(watched, seen, deadline.left());
    }
}

void IrsPort::setAwaited(IrsChannel& channel, bool awaited) {
    const std::lock_guard<std::mutex> hold(awaitLock);
    channel.awaited.store(awaited);
    if (device) {
        bool any = false;
        for (const IrsChannel& each : channels) {
            any = any || each.awaited.load();
        }
        device->setListening(any);
    }
}

bool IrsPort::linkDown() {
    if (!stationLive.load()) {
        return true;
    }
    if (computer) {
        return computer->halted() || computer->state() != primary::PRIMARY_CONNECTED;
    }
    return device->state() < secondary::SEC_LINKED;
}

irs_port* irsRegister(const std::shared_ptr<IrsPort>& port) {
    const std::lock_guard<std::mutex> hold(registryLock);
    for (size_t slot = 0; slot < registry.size(); ++slot) {
        RegistrySlot& entry = registry.at(slot);
        if (!entry.port) {
            port->slot = slot;
            entry.port = port;
            entry.generation = nextGeneration();
            return encode<irs_port>(slot, 0, KIND_PORT, entry.generation);
        }
    }
    return nullptr;
}

std::shared_ptr<IrsPort> irsFindPort(const irs_port* handle) {
    HandleFields fields;
    if (!decode(reinterpret_cast<uintptr_t>(handle), KIND_PORT, fields)) {
        return nullptr;
    }
    const std::lock_guard<std::mutex> hold(registryLock);
    const RegistrySlot& entry = registry.at(fields.slot);
    return entry.generation == fields.generation ? entry.port : nullptr;
}

IrsChannelRef irsFindChannel(const irs_channel* handle) {
    HandleFields fields;
    if (!decode(reinterpret_cast<uintptr_t>(handle), KIND_CHANNEL, fields)) {
        return {};
    }
    const std::lock_guard<std::mutex> hold(registryLock);
    const RegistrySlot& entry = registry.at(fields.slot);
    if (!entry.port) {
        return {};
    }
    IrsChannel& channel = entry.port->channels.at(fields.lane);
    if (channel.generation.load() != fields.generation) {
        return {};
    }
    return {entry.port, &channel, fields.generation};
}

irs_channel* irsChannelHandOut(IrsPort& port, IrsChannel& channel) {
    const uintptr_t generation = nextGeneration();
    channel.generation.store(generation);
    return encode<irs_channel>(port.slot, channel.lane, KIND_CHANNEL, generation);
}

bool irsChannelRetire(const IrsChannelRef& found) {
    uintptr_t live = found.generation;
    return found.channel != nullptr && found.channel->generation.compare_exchange_strong(live, 0);
}

std::shared_ptr<IrsPort> irsUnregister(const irs_port* handle) {
    HandleFields fields;
    if (!decode(reinterpret_cast<uintptr_t>(handle), KIND_PORT, fields)) {
        return nullptr;
    }
    const std::lock_guard<std::mutex> hold(registryLock);
    RegistrySlot& entry = registry.at(fields.slot);
    if (!entry.port || entry.generation != fields.generation) {
        return nullptr;
    }
    for (IrsChannel& channel : entry.port->channels) {
        channel.generation.store(0);
    }
    entry.generation = 0;
    return std::exchange(entry.port, nullptr);
}

int irsFromIrErr(IrErr error) {
    switch (error) {
    case IR_OK:
        return IRS_OK;
    case IR_ERR_TIMEOUT:
        return IRS_ERR_TIMEOUT;
    case IR_ERR_PORT_LOST:
        return IRS_ERR_PORT_LOST;
    case IR_ERR_ARG:
        return IRS_ERR_ARG;
    case IR_ERR_STATE:
        return IRS_ERR_STATE;
    case IR_ERR_PEER:
        return IRS_ERR_PEER_GONE;
    case IR_ERR_IO:
    case IR_ERR_SPEED:
        break;
    }
    return IRS_ERR_IO;
}

int irsChannelFailure(IrsPort& port, IrsChannel& channel) {
    if (port.closing.load() || !channel.open.load()) {
        return IRS_ERR_HANDLE;
    }
    if (port.line.lostError() != 0) {
        return IRS_ERR_PORT_LOST;
    }
    if (channel.ended.load() || !port.laneOpen(channel.lane)) {
        channel.ended.store(true);
        return IRS_ERR_PEER_GONE;
    }
    return IRS_OK;
}

void irsAddressText(uint32_t address, char (&text)[12]) {
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X", (address >> 24) & 0xFFU,
                  (address >> 16) & 0xFFU, (address >> 8) & 0xFFU, address & 0xFFU);
}

IrsDeadline::IrsDeadline(int timeoutMs) : start(GetTickCount()), timeout(timeoutMs) {}

bool IrsDeadline::passed() const {
    return timeout >= 0 && GetTickCount() - start >= static_cast<DWORD>(timeout);
}

int IrsDeadline::left() const {
    if (timeout < 0) {
        return -1;
    }
    const DWORD spent = GetTickCount() - start;
    return spent >= static_cast<DWORD>(timeout) ? 0 : static_cast<int>(timeout - spent);
}
