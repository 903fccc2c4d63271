// The handle registry, the port object's life, the descriptor's notifier and the error texts.
#include "irs_session.h"

#include <utility>

namespace {

std::mutex registryLock;
std::array<std::shared_ptr<irs_port>, IRS_PORTS_MAX> registry;

// Short enough that a close never waits long for the notifier.
constexpr uint32_t NOTIFY_SLICE_MS = 50;

DWORD WINAPI notifierEntry(LPVOID self) {
    irs_port& port = *static_cast<irs_port*>(self);
    uint32_t seen = 0;
    while (port.notifierRunning.load()) {
        if (port.inUse()) {
            lapWatchWaitDelivery(port.connection().watch(), seen, NOTIFY_SLICE_MS);
        } else {
            std::unique_lock<std::mutex> hold(port.closeLock);
            port.closeSignal.wait_for(hold, std::chrono::milliseconds(NOTIFY_SLICE_MS));
        }
        port.updateSignal();
    }
    return 0;
}

} // namespace

irs_port::irs_port(const TransceiverVariant& variant, int portRole)
    : role(portRole), line(variant) {
    // The log names each station by its role; the demo programs' label is theirs.
    if (role == IRS_ROLE_COMPUTER) {
        computer = std::make_unique<primary::PrimaryStation>(line);
        computer->setStateLabel("computer");
    } else {
        device = std::make_unique<secondary::SecondaryStation>(line);
        device->setStateLabel("device");
    }
    for (size_t lane = 0; lane < channels.size(); ++lane) {
        irs_channel& channel = channels.at(lane);
        channel.owner = this;
        channel.lane = static_cast<uint8_t>(lane);
        // Without it irs_fd answers IRS_ERR_IO; everything else works.
        hostReadyOpen(channel.ready);
    }
}

bool irs_port::startNotifier() {
    const std::lock_guard<std::mutex> hold(notifierLock);
    if (notifier != nullptr) {
        return true;
    }
    notifierRunning.store(true);
    notifier = CreateThread(nullptr, 0, notifierEntry, this, 0, nullptr);
    if (notifier == nullptr) {
        notifierRunning.store(false);
        return false;
    }
    return true;
}

irs_port::~irs_port() {
    notifierRunning.store(false);
    const std::lock_guard<std::mutex> hold(notifierLock);
    if (notifier != nullptr) {
        WaitForSingleObject(notifier, INFINITE);
        CloseHandle(notifier);
    }
    stopStation();
    lapWatchSettle(connection().watch());
    for (irs_channel& channel : channels) {
        hostReadyClose(channel.ready);
    }
}

LapConnection& irs_port::connection() {
    return computer ? computer->connection() : device->connection();
}

void irs_port::stopStation() {
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
}

bool irs_port::inUse() {
    for (const irs_channel& channel : channels) {
        if (channel.open.load() || channel.awaited.load()) {
            return true;
        }
    }
    return false;
}

size_t irs_port::laneRead(uint8_t lane, uint8_t* buffer, size_t size) {
    return lane == 0 ? connection().receive(buffer, size)
                     : connection().extra(lane).read(buffer, size);
}

size_t irs_port::laneWrite(uint8_t lane, const uint8_t* data, size_t size) {
    return lane == 0 ? connection().send(data, size) : connection().extra(lane).write(data, size);
}

int irs_port::laneRoom(uint8_t lane) {
    return lane == 0 ? connection().room() : connection().extra(lane).room();
}

int irs_port::laneAvailable(uint8_t lane) {
    return lane == 0 ? connection().available() : connection().extra(lane).available();
}

bool irs_port::laneOpen(uint8_t lane) {
    return lane == 0 ? connection().phase() == LINK_OPEN
                     : connection().extra(lane).state() == CHANNEL_OPEN;
}

void irs_port::updateSignal() {
    for (irs_channel& channel : channels) {
        updateSignal(channel);
    }
}

void irs_port::updateSignal(irs_channel& channel) {
    const std::lock_guard<std::mutex> hold(channel.signalLock);
    const bool open = channel.open.load();
    hostReadySet(channel.ready, open && (laneAvailable(channel.lane) > 0 ||
                                         irsChannelFailure(*this, channel) != 0));
}

bool irsRegister(const std::shared_ptr<irs_port>& port) {
    const std::lock_guard<std::mutex> hold(registryLock);
    for (auto& slot : registry) {
        if (!slot) {
            slot = port;
            return true;
        }
    }
    return false;
}

std::shared_ptr<irs_port> irsFindPort(const irs_port* port) {
    const std::lock_guard<std::mutex> hold(registryLock);
    for (const auto& slot : registry) {
        if (port != nullptr && slot.get() == port) {
            return slot;
        }
    }
    return nullptr;
}

std::shared_ptr<irs_port> irsFindChannel(const irs_channel* channel) {
    const std::lock_guard<std::mutex> hold(registryLock);
    for (const auto& slot : registry) {
        if (channel == nullptr || !slot) {
            continue;
        }
        for (const irs_channel& own : slot->channels) {
            if (&own == channel) {
                return slot;
            }
        }
    }
    return nullptr;
}

std::shared_ptr<irs_port> irsUnregister(const irs_port* port) {
    const std::lock_guard<std::mutex> hold(registryLock);
    for (auto& slot : registry) {
        if (port != nullptr && slot.get() == port) {
            return std::exchange(slot, nullptr);
        }
    }
    return nullptr;
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

int irsChannelFailure(irs_port& port, irs_channel& channel) {
    if (port.closing.load() || !channel.open.load()) {
        return IRS_ERR_STATE;
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

IrsDeadline::IrsDeadline(int timeoutMs) : start(GetTickCount()), timeout(timeoutMs) {}

bool IrsDeadline::passed() const {
    return timeout >= 0 && GetTickCount() - start >= static_cast<DWORD>(timeout);
}

uint32_t IrsDeadline::wait(uint32_t slice) const {
    if (timeout < 0) {
        return slice;
    }
    const DWORD spent = GetTickCount() - start;
    const DWORD left = spent >= static_cast<DWORD>(timeout) ? 0 : timeout - spent;
    return left < slice ? left : slice;
}

extern "C" const char* irs_strerror(int error) {
    switch (error) {
    case IRS_OK:
        return "success";
    case IRS_ERR_ARG:
        return "bad argument";
    case IRS_ERR_HANDLE:
        return "not an open handle";
    case IRS_ERR_STATE:
        return "not allowed in this role or state";
    case IRS_ERR_TIMEOUT:
        return "timed out";
    case IRS_ERR_PORT:
        return "cannot open the port";
    case IRS_ERR_PORT_LOST:
        return "port lost";
    case IRS_ERR_PEER_GONE:
        return "peer gone";
    case IRS_ERR_NO_SERVICE:
        return "no such service";
    case IRS_ERR_IO:
        return "port operation failed";
    case IRS_ERR_UNSUPPORTED:
        return "not supported on this system";
    case IRS_ERR_NO_MEMORY:
        return "out of memory, handles or channels";
    default:
        return "unknown error";
    }
}
