// The in-process transport: a port of this process is an IrPort on its serial port, driven by a
// service thread of its own; the calls start requests on it and wait for their completion.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "irport.h"
#include "irs_session.h"

// Requests waited for at once on one port: a discovery, a query, a connect or listen per
// channel, and a close per channel, with room to spare.
constexpr size_t IRS_WAITS_MAX = 16;

struct IrsWait {
    bool used = false;
    bool done = false;
    uint32_t tag = 0;
    IrPortEvent result{};
};

struct IrsLocal {
    IrsLocal(IrphyPort& line, uint8_t speedBits) : port(line, speedBits) {}

    // Every call on the IrPort, and all below, under `lock`.
    std::mutex lock;
    IrPort port;
    // A request's completion came (or the port closes).
    std::condition_variable finished;
    std::array<IrsWait, IRS_WAITS_MAX> waits{};
    uint32_t lastTag = 0;
    // Each channel's service (device role), -1 for a connect's.
    std::array<int, IRS_CHANNELS_MAX> serviceOf{};
    // A listen waits on the service.
    std::array<bool, IRPORT_SERVICES> listening{};
    std::array<IrsService, IRPORT_SERVICES> offered{};
    std::array<bool, IRPORT_SERVICES> offeredUsed{};
    // A device's settings are refused from its first listen until its last channel closes with
    // no listen waiting, as the station they would change runs meanwhile.
    bool listened = false;
    bool stopping = false;
    HANDLE service = nullptr;
    // What the status calls show, as of the service thread's last turn (read without the lock,
    // so they answer from inside the log function too).
    std::atomic<int> phase{0};
    std::atomic<uint32_t> peer{0};
    std::atomic<uint32_t> speed{0};
    std::atomic<int> lastError{0};
};

// Takes the port's lock (`hold`, made deferred), and the operation lock (`operation`, deferred)
// too unless `beside()` finds the request may go beside a set-up under way; asked again each
// time the port's lock is taken, as the operation lock is waited for without it.
template <typename Beside>
void irsLocalHold(std::unique_lock<std::mutex>& operation, std::unique_lock<std::mutex>& hold,
                  Beside beside) {
    hold.lock();
    while (!beside() && !operation.owns_lock()) {
        hold.unlock();
        operation.lock();
        hold.lock();
    }
}

// Starts the service thread; false when it cannot.
bool irsLocalStart(IrsPort& port);
// Ends the service thread and the port's engine.
void irsLocalStop(IrsPort& port);
// A new request's tag and its wait; null when none is free.
IrsWait* irsLocalWaitFor(IrsLocal& local);
// Waits (the lock held in `hold`) until the request is done or the port closes: its result, or
// IRS_ERR_HANDLE in `result.status` for a close. Frees the wait.
IrPortEvent irsLocalAwait(IrsPort& port, std::unique_lock<std::mutex>& hold, IrsWait& wait);
// Starts the port's engine again after its device was lost (under the lock).
void irsLocalRevive(IrsPort& port);
// A request's start (under the lock): the port revived and a wait claimed, or null with why not
// in `status` (the port closing, or no wait free).
IrsWait* irsLocalBegin(IrsPort& port, int& status);
// The status calls' copy of the port's status, taken now (under the lock).
void irsLocalKeepStatus(IrsLocal& local);
// Sets the channel's readiness from the port (under the lock).
void irsLocalShow(IrsPort& port, IrsChannel& channel);

int irsLocalSetLinkLimits(IrsPort& port, int maxWindow, int maxFrame);
void irsLocalClose(IrsPort& port);
int irsLocalOpenChannel(IrsPort& port, const IrsService& service, int timeoutMs,
                        irs_channel** channel);
int irsLocalCloseChannel(const IrsChannelRef& found, bool abortive);
int irsLocalSetIdentity(IrsPort& port, const char* nickname, uint16_t hints);
int irsLocalDiscover(IrsPort& port, int timeoutMs, irs_device* devices, int maxDevices);
int irsLocalDescribe(IrsPort& port, IrsChannel& channel, irs_channel_info& info);
int irsLocalQuery(IrsPort& port, const char* className, const char* attribute, int timeoutMs,
                  irs_ias_value* values, int maxValues);
int irsLocalPortStatus(IrsPort& port, irs_port_state& status);
int irsLocalChannelStatus(IrsPort& port, IrsChannel& channel, irs_channel_state& status);
