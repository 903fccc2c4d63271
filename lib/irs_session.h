// The library's objects behind the C interface: a port with its channels, the registry that turns
// handles into them (or tells a stale one), and the error codes' mapping.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

#include "discovery.h"
#include "ir_err.h"
#include "ir_options.h"
#include "irphy.h"
#include "irs_transport.h"
#include "irstack.h"
#include "ready_signal.h"
#include "win32.h"

struct IrsPort;
// A port of this process: its IrPort and service thread (irs_local.h).
struct IrsLocal;
// A daemon port's connection (irs_remote.h).
struct IrsRemote;

constexpr int IRS_LINGER_DEFAULT_MS = 10000;
constexpr int IRS_LINGER_MAX_MS = 600000;

struct IrsChannel {
    IrsPort* owner = nullptr;
    // The port's channel: 0 the link's first, others LM-MUX channels.
    uint8_t lane = 0;
    // Handed to the application, and (daemon ports) a listener waiting for it.
    std::atomic<bool> open{false};
    std::atomic<bool> awaited{false};
    // Latched when the link's channel ended under it.
    std::atomic<bool> ended{false};
    // The generation of the handle handed out; 0 while none is live.
    std::atomic<uintptr_t> generation{0};
    std::mutex readLock;
    std::mutex writeLock;
    // How long a close waits for the queued bytes to be acknowledged.
    std::atomic<int> lingerMs{IRS_LINGER_DEFAULT_MS};
    // Readable while data waits or the channel has ended, writable while there is room or it has
    // ended; every wait on the channel is a wait on its change.
    HostReady ready;
    // A daemon port's channel: the socket that carries its bytes and its id at the daemon. Either
    // kind: the end the port told of (0 until then) with the bytes it left unacknowledged.
    std::atomic<int> sock{-1};
    std::atomic<uint32_t> remoteId{0};
    std::atomic<int> endStatus{0};
    std::atomic<long> endUnacknowledged{0};
};

struct IrsPort {
    // A port of this process; `local` is made as it opens.
    IrsPort(const TransceiverVariant& variant, int portRole);
    // A port served by irstackd: no station here.
    IrsPort(const TransceiverVariant& variant, int portRole, std::shared_ptr<IrsRemote> daemon);
    IrsPort(const IrsPort&) = delete;
    IrsPort& operator=(const IrsPort&) = delete;
    IrsPort(IrsPort&&) = delete;
    IrsPort& operator=(IrsPort&&) = delete;
    ~IrsPort();

    const int role;
    const IrsTransport* const transport;
    // The daemon's connection; null for a port of this process.
    const std::shared_ptr<IrsRemote> remote;
    // The registry's slot, set once as the port is registered.
    size_t slot = 0;
    // One discovery, first connect or query over a link of its own at a time.
    std::mutex operationLock;
    // One IAS query at a time (taken before operationLock).
    std::mutex queryLock;
    IrphyPort line;
    std::unique_ptr<IrsLocal> local;
    // The speeds offered.
    uint8_t speedBits = 0;
    std::array<IrsChannel, IRS_CHANNELS_MAX> channels;
    std::atomic<bool> closing{false};
    // A daemon port's channel places taken one at a time.
    std::mutex awaitLock;
};

// Handles are values, never addresses: a registry slot, the channel's lane and a generation that
// is never handed out twice, so a handle once closed stays dead when its slot or lane is reused.

// Opens a serial port of this process (irs_port.cpp) or irstackd's port NAME (irs_remote.cpp),
// the arguments checked.
int irsLocalOpen(const char* path, const TransceiverVariant& transceiver, uint32_t maxSpeed,
                 int role, std::shared_ptr<IrsPort>& opened);
int irsRemoteOpen(const char* name, const TransceiverVariant& transceiver, uint32_t maxSpeed,
                  int role, std::shared_ptr<IrsPort>& opened);
// Closes a daemon port's sockets once no call holds it.
void irsRemoteRelease(IrsPort& port);

// Registers a new port and returns its handle; null when the table is full.
irs_port* irsRegister(const std::shared_ptr<IrsPort>& port);
// The live port behind a handle, or null.
std::shared_ptr<IrsPort> irsFindPort(const irs_port* handle);
// A channel handle resolved: its port, held while the call runs, and the channel; empty when the
// handle is not live.
struct IrsChannelRef {
    std::shared_ptr<IrsPort> port;
    IrsChannel* channel = nullptr;
    uintptr_t generation = 0;
    explicit operator bool() const { return channel != nullptr; }
};
IrsChannelRef irsFindChannel(const irs_channel* handle);
// Hands the channel out under a new handle.
irs_channel* irsChannelHandOut(IrsPort& port, IrsChannel& channel);
// Ends the handle's life; false when another call already had.
bool irsChannelRetire(const IrsChannelRef& found);
// Takes the port out of the table and ends its channels' handles; null when it was not there.
std::shared_ptr<IrsPort> irsUnregister(const irs_port* handle);

// Takes `hold`'s mutex; inside the log function only when it is free at once, as the call holding
// it may be waiting for the thread that logs. False when it was not taken.
bool irsLockOutsideLog(std::unique_lock<std::mutex>& hold);
// An open's failure (its Win32 and system error numbers): logged with the reason, and the code
// irs_open answers.
int irsOpenError(const char* path, DWORD error, DWORD systemError);
// An address as the number reads, most significant byte first: 0x3412CDAB is "34-12-CD-AB".
void irsAddressText(uint32_t address, char (&text)[12]);
// A device as discovery found it, as the header shows it.
void irsDeviceFrom(const LapDiscovered& found, irs_device& device);
// Points the stack's console at the application's log (irs_log.cpp); silent until it sets one.
void irsLogInstall();
// True on a thread running the application's log function: calls that wait for the library's
// threads or stop them answer IRS_ERR_STATE there, as those threads may be waiting for the log.
bool irsInsideLog();
// The channel's failure once it is no longer usable (ended, port lost, closing); IRS_OK while it
// is.
int irsChannelFailure(IrsPort& port, IrsChannel& channel);
static_assert(IRS_CHANNELS_MAX == MUX_CHANNELS, "a handle for each of a link's channels");
#if !defined(_WIN32)
// Each port holds its serial port and runs its station's task, with room to spare; a third of
// the table stays for the program's own.
static_assert(IRS_PORTS_MAX * 3 <= HOST_HANDLES_MAX * 2 / 3,
              "the host layer's handles never cap the ports below IRS_PORTS_MAX");
#endif
static_assert(IRS_FRAME_MAX == LAP_MAX_DATA_SIZE && IRS_FRAME_MIN == 64,
              "the library's frame limits are the stack's");
// Milliseconds left before `deadline` on GetTickCount (negative timeouts never end).
struct IrsDeadline {
    explicit IrsDeadline(int timeoutMs);
    bool passed() const;
    // What is left of it in milliseconds; negative without a limit.
    int left() const;
    DWORD start;
    int timeout;
};
