// The handle registry, the port object's life and the channels' readiness.
#include "irs_session.h"

#include <cstdio>
#include <utility>

#include "console.h"
#include "irs_local.h"

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

} // namespace

IrsPort::IrsPort(const TransceiverVariant& variant, int portRole)
    : role(portRole), transport(&IRS_LOCAL_TRANSPORT), line(variant) {
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
    irsLocalStop(*this);
    for (IrsChannel& channel : channels) {
        hostReadyClose(channel.ready);
    }
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

int irsChannelFailure(IrsPort& port, IrsChannel& channel) {
    if (port.closing.load() || !channel.open.load()) {
        return IRS_ERR_HANDLE;
    }
    if (port.line.lostError() != 0) {
        return IRS_ERR_PORT_LOST;
    }
    const int ended = channel.endStatus.load();
    if (ended != 0) {
        channel.ended.store(true);
        return ended;
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
