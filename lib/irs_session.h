// The library's objects behind the C interface: a port with its one station and its channels, the
// registry that turns handles into them (or tells a stale one), and the error codes' mapping.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "discovery.h"
#include "ir_err.h"
#include "ir_options.h"
#include "irphy.h"
#include "irs_transport.h"
#include "irstack.h"
#include "lap_connection.h"
#include "primary_station.h"
#include "ready_signal.h"
#include "secondary_station.h"
#include "win32.h"

struct IrsPort;
// A daemon port's connection (irs_remote.h).
struct IrsRemote;

constexpr int IRS_LINGER_DEFAULT_MS = 10000;
constexpr int IRS_LINGER_MAX_MS = 600000;

struct IrsChannel {
    IrsPort* owner = nullptr;
    // The station's lane: 0 the link's first channel, others LmChannels.
    uint8_t lane = 0;
    // Handed to the application, and a listener waiting for it.
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
    // ended; every wait on the channel is a wait on its change. The lock keeps a look at the lane
    // and its showing together, so a late look never shows over a newer one.
    std::mutex signalLock;
    HostReady ready;
    // A daemon port's channel: the socket that carries its bytes, its id at the daemon, and the
    // end the daemon told of (0 until then) with the bytes it left unacknowledged.
    std::atomic<int> sock{-1};
    std::atomic<uint32_t> remoteId{0};
    std::atomic<int> endStatus{0};
    std::atomic<long> endUnacknowledged{0};
};

struct IrsPort {
    IrsPort(const TransceiverVariant& variant, int portRole);
    // A port served by irstackd: no station here.
    IrsPort(const TransceiverVariant& variant, int portRole, std::shared_ptr<IrsRemote> daemon);
    IrsPort(const IrsPort&) = delete;
    IrsPort& operator=(const IrsPort&) = delete;
    IrsPort(IrsPort&&) = delete;
    IrsPort& operator=(IrsPort&&) = delete;
    ~IrsPort();

    LapConnection& connection();
    // Stops the station's task and closes the serial port.
    void stopStation();
    // Sets each channel's readiness from its lane and wakes its waits.
    void updateSignal();
    void updateSignal(IrsChannel& channel);
    // A channel handed out or awaited: the station must go on.
    bool inUse();
    // A listener waits for the channel or no longer does; once a link has ended, a device
    // answers discovery only while one waits or after the next listen.
    void setAwaited(IrsChannel& channel, bool awaited);
    // The link is down: never set up, ended, or the station stopped.
    bool linkDown();
    // Tells the peer the link ends (after the LM disconnects asked for) and waits a while for the
    // station to end it.
    void endLink();

    // The lane's queues, whichever kind it is.
    size_t laneRead(uint8_t lane, uint8_t* buffer, size_t size);
    size_t laneWrite(uint8_t lane, const uint8_t* data, size_t size);
    int laneRoom(uint8_t lane);
    int laneAvailable(uint8_t lane);
    bool laneOpen(uint8_t lane);

    const int role;
    const IrsTransport* const transport;
    // The daemon's connection; null for a port of this process.
    const std::shared_ptr<IrsRemote> remote;
    // The registry's slot, set once as the port is registered.
    size_t slot = 0;
    // One discovery, connect, listen or close at a time.
    std::mutex operationLock;
    // One IAS query at a time (taken before operationLock).
    std::mutex queryLock;
    IrphyPort line;
    std::unique_ptr<primary::PrimaryStation> computer;
    std::unique_ptr<secondary::SecondaryStation> device;
    // The first channel's service; the computer's station keeps pointers to these names.
    std::array<char, IAS_NAMES_MAX + 1> className{};
    std::array<char, IAS_NAMES_MAX + 1> attribute{};
    bool firstRaw = false;
    // The speeds offered, kept for an offer with other link limits.
    uint8_t speedBits = 0;
    std::array<IrsChannel, IRS_CHANNELS_MAX> channels;
    // The station's task runs: a listen or connect started it and no close has stopped it.
    std::atomic<bool> stationLive{false};
    std::atomic<bool> closing{false};
    // Discovery's wait, which a close ends at once.
    std::mutex closeLock;
    std::condition_variable closeSignal;
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
// Starts the port's station afresh with every channel closed.
void irsRestart(IrsPort& port);
int irsFromIrErr(IrErr error);
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
