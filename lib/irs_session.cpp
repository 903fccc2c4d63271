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
        if (port.channel.open.load()) {
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
    channel.owner = this;
    if (role == IRS_ROLE_COMPUTER) {
        computer = std::make_unique<primary::PrimaryStation>(line);
    } else {
        device = std::make_unique<secondary::SecondaryStation>(line);
    }
    // Without it irs_fd answers IRS_ERR_IO; everything else works.
    hostReadyOpen(channel.ready);
    notifierRunning.store(true);
    notifier = CreateThread(nullptr, 0, notifierEntry, this, 0, nullptr);
    if (notifier == nullptr) {
        notifierRunning.store(false);
    }
}

irs_port::~irs_port() {
    notifierRunning.store(false);
    if (notifier != nullptr) {
        WaitForSingleObject(notifier, INFINITE);
        CloseHandle(notifier);
    }
    stopStation();
    lapWatchSettle(connection().watch());
    hostReadyClose(channel.ready);
}

LapConnection& irs_port::connection() {
    return computer ? computer->connection() : device->connection();
}

void irs_port::stopStation() {
    if (computer) {
        computer->stopTask();
    } else {
        device->stopTask();
    }
    line.close();
}

void irs_port::updateSignal() {
    const std::lock_guard<std::mutex> hold(channel.signalLock);
    const bool open = channel.open.load();
    hostReadySet(channel.ready,
                 open && (connection().available() > 0 || irsChannelFailure(*this) != 0));
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
        if (channel != nullptr && slot && &slot->channel == channel) {
            return slot;
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

int irsChannelFailure(irs_port& port) {
    if (port.closing.load() || !port.channel.open.load()) {
        return IRS_ERR_STATE;
    }
    if (port.line.lostError() != 0) {
        return IRS_ERR_PORT_LOST;
    }
    if (port.channel.ended.load() || port.connection().phase() != LINK_OPEN) {
        port.channel.ended.store(true);
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
        return "out of memory or handles";
    default:
        return "unknown error";
    }
}
