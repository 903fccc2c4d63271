// One infrared port that plays both roles: it owns both link engines over one frame port and runs
// one at a time. While no link is up it is a device (answers discovery, accepts a connection to
// any service offered); a discover or connect makes it the computer for that link. Calls never
// block: requests start here, and their completion, channels' ends and phase changes come back
// as events once the readiness descriptor polls readable and update() has run.
// Every call comes from one thread, the owner's; the engines' tasks only make the descriptor
// readable. The frame port is the owner's (an IrphyPort, or a test's MemoryPort).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "discovery.h"
#include "ir_options.h"
#include "irport_codes.h"
#include "lap_port.h"
#include "lm_channel.h"
#include "primary_station.h"
#include "ready_signal.h"
#include "secondary_station.h"

constexpr size_t IRPORT_SERVICES = 4;
constexpr size_t IRPORT_CHANNELS = MUX_CHANNELS;
constexpr size_t IRPORT_EVENTS = 32;
constexpr size_t IRPORT_FOUND_MAX = 8;
// How long the last channel's close waits for the link it ends to go down.
constexpr uint32_t IRPORT_LINK_END_MS = 1500;

enum IrPortRole : uint8_t { IRPORT_DEVICE = 0, IRPORT_COMPUTER = 1 };

enum IrPortEventKind : uint8_t {
    IRPORT_DONE = 0,          // a request ended: its tag, status and (connect, listen) channel
    IRPORT_CHANNEL_ENDED = 1, // the peer or the link ended an open channel: reason, unacked
    IRPORT_PHASE = 2,         // the phase (IRPORT_PHASE_*) changed
};

struct IrPortEvent {
    IrPortEventKind kind = IRPORT_DONE;
    uint32_t tag = 0;
    int status = 0; // IRPORT_OK or an IRPORT_ERR_* code
    int channel = -1;
    uint32_t value = 0; // bytes unacknowledged (ended), the phase (phase), devices (discover)
};

struct IrPortStatus {
    int phase = 0; // IRPORT_PHASE_*
    IrPortRole role = IRPORT_DEVICE;
    uint32_t peer = 0;
    uint32_t speed = 0;
    IrErr lastError = IR_OK;
    // The link's quality while one is up: window and field in use, I-frames sent again.
    uint8_t window = 0;
    uint16_t field = 0;
    uint32_t resent = 0;
};

class IrPort {
  public:
    // `ownTasks` off: nothing runs by itself, a test calls step() on its simulated clock.
    IrPort(FramePort& line, uint8_t speedBits, bool ownTasks = true);
    IrPort(const IrPort&) = delete;
    IrPort& operator=(const IrPort&) = delete;
    IrPort(IrPort&&) = delete;
    IrPort& operator=(IrPort&&) = delete;
    ~IrPort();

    // Quiet (before start): the device answers discovery only once a listen has asked, and after a
    // link only while a listen waits again; nothing is sent before the first request.
    void setQuiet(bool on) { quiet = on; }
    // Starts as a device; false when the host has a descriptor and it cannot be made.
    bool start();
    void stop();
    // One step of the engine in charge (ownTasks off).
    void step();
    // For tests: both engines' draws from `seed`.
    void seedRandom(uint32_t seed);

    // Polls readable when update() has something to look at.
    int readyFd() { return hostReadyFd(ready); }
    // Waits up to `waitMs` (negative: no limit) for readiness, on every host; false on time-out.
    bool awaitReady(int waitMs);
    // Makes the port ready, so a wait on it looks again.
    void wake() { changed(this, LANE_ALL); }
    // Takes the port's changes in: requests finish, channels end, the role switches.
    void update();
    // Milliseconds until update() must run for a time-out even without readiness; -1: none.
    int nextTimeoutMs();
    bool takeEvent(IrPortEvent& event);

    // ---- Requests; IRPORT_OK means started, the result comes as an IRPORT_DONE with `tag`.

    // While no link is up and nothing is under way.
    int setIdentity(const char* nickname, uint16_t hints);
    // The window and field the next links offer at most (IRPORT_WINDOW_MAX, IRPORT_FRAME_MAX at
    // first).
    int setLinkLimits(int maxWindow, int maxFrame);
    int discover(uint32_t tag, int timeoutMs);
    // The index-th device the last discovery found; false past the last.
    bool found(size_t index, LapDiscovered& device) const;
    // Asks the peer's IAS for `className` and `attribute`: over the link that is up (computer
    // role) or over a link of its own. Its DONE's value is the answer's length, which
    // queryAnswer() then holds from its return code on.
    int query(uint32_t tag, const char* className, const char* attribute, int timeoutMs);
    std::span<const uint8_t> queryAnswer() const {
        return std::span<const uint8_t>(answer.data(), answerLength);
    }
    // A service offered until withdrawn: its index, or IRPORT_ERR_NO_MEMORY, IRPORT_ERR_ARG.
    int offer(const char* className, const char* attribute, bool raw);
    void withdraw(int service);
    // Waits for the peer to open a channel to `service`; its DONE names the channel.
    int listen(uint32_t tag, int service, int timeoutMs);
    // With no link: takes the computer role and sets one up; to the linked computer's device:
    // another channel; while linked as a device or a set-up is under way: IRPORT_ERR_STATE.
    // `lsap` -1 asks the peer's IAS for the names (null: IrCOMM's).
    int connect(uint32_t tag, const char* className, const char* attribute, int lsap, bool raw,
                int timeoutMs);
    // Waits up to `lingerMs` for the channel's bytes to be acknowledged, then disconnects it; the
    // link ends with its last channel.
    int close(uint32_t tag, int channel, int lingerMs);
    // Disconnects at once, dropping what is unacknowledged; also frees an ended channel.
    int abort(int channel);
    // Its DONE comes once the link that the last channel's end is ending has gone (at once when
    // none is ending); IRPORT_ERR_STATE while another such wait is under way.
    int awaitLinkEnd(uint32_t tag);
    // Forgets the request with `tag` (its client left): no DONE comes for it.
    void cancel(uint32_t tag);

    // ---- A channel's bytes, never waiting
    bool isOpen(int channel) const;
    size_t read(int channel, uint8_t* buffer, size_t size);
    size_t write(int channel, const uint8_t* data, size_t size);
    int room(int channel);
    int available(int channel);
    int unacknowledged(int channel);
    ChannelInfo describe(int channel);

    IrPortStatus status();

    // The device has gone (the frame port says it is lost): every request under way ends with
    // IRPORT_ERR_PORT_LOST, open channels end with it (their unread bytes stay readable), the
    // engine stops. Services stay offered.
    void lose();
    // Starts as a device again, its reset opening the device afresh: IRPORT_OK, or the open's
    // failure with the port still stopped; IRPORT_ERR_STATE while a device channel is unread.
    int restart();

  private:
    enum class Slot : uint8_t { FREE, OPENING, OPEN, CLOSING, ENDED };
    struct Channel {
        Slot slot = Slot::FREE;
        uint32_t tag = 0;
        uint32_t deadline = 0;
        bool timed = false;
        int service = -1;
        // The engine whose queues hold its bytes: an ended channel is read after a role switch.
        IrPortRole engine = IRPORT_DEVICE;
    };
    struct Service {
        bool used = false;
        std::array<char, IAS_NAMES_MAX + 1> className{};
        std::array<char, IAS_NAMES_MAX + 1> attribute{};
        bool raw = false;
        int lane = -1;
        bool waiting = false;
        uint32_t tag = 0;
        uint32_t deadline = 0;
        bool timed = false;
    };

    static void changed(void* self, int lane);
    static void roundDone(void* self);
    uint32_t now() { return line.nowMs(); }
    void startEngine(bool computer);
    // The device's task paused while its settings change, and on again.
    void pauseDevice();
    void resumeDevice();
    bool anyListening() const;
    // The device engine answers discovery as the listens ask.
    void listeningChanged();
    void stopEngine();
    void becomeDevice();
    void applyServices();
    // The services as offered now, the device's task paused while they are set.
    void renewServices();
    LapConnection& connection();
    LapConnection& connectionOf(int channel);
    bool laneOpen(int lane);
    bool laneEnded(int lane);
    int laneEndStatus(int lane);
    bool linkUp();
    bool anyChannel() const;
    // A channel whose bytes sit in the device engine's queues, open or ended and not yet freed.
    bool deviceChannelHeld() const;
    void push(const IrPortEvent& event);
    void finish(uint32_t tag, int status, int channel = -1, uint32_t value = 0);
    void updateComputer();
    // True when the query ended the computer's turn (the port is a device again).
    bool updateQuery();
    void endQuery(int status);
    void updateDevice();
    void updateChannels();
    void disconnect(int lane);
    void endLinkIfUnused();
    // Ends request `tag` with `status`, held until the link is down when no channel is left.
    void finishAtLinkEnd(uint32_t tag, int status);

    FramePort& line;
    const bool tasks;
    const uint8_t speeds;
    primary::PrimaryStation computer;
    secondary::SecondaryStation device;
    IrPortRole role = IRPORT_DEVICE;
    bool running = false;
    bool quiet = false;
    // The device engine has run: always, unless quiet and no listen yet.
    bool deviceAwake = true;
    LapOffer linkOffer{};
    // The last channel's close, told once the link it ended is down.
    bool closeHeld = false;
    uint32_t heldTag = 0;
    int heldStatus = 0;
    uint32_t heldDeadline = 0;
    // Why the computer's last link failed, kept once the port is a device again.
    IrErr computerError = IR_OK;
    HostReady ready;
    std::array<Channel, IRPORT_CHANNELS> channels{};
    std::array<Service, IRPORT_SERVICES> services{};
    bool servicesChanged = false;
    std::array<char, IAS_NAMES_MAX + 1> connectClass{};
    std::array<char, IAS_NAMES_MAX + 1> connectAttribute{};
    // A discovery under way (computer role, discover-only).
    bool discovering = false;
    uint32_t discoverTag = 0;
    uint32_t discoverDeadline = 0;
    std::array<LapDiscovered, IRPORT_FOUND_MAX> devices{};
    size_t deviceCount = 0;
    bool linkEndAsked = false;
    // A query under way: over a lane of the link (queryLane) or a link of its own (-1).
    bool querying = false;
    uint32_t queryTag = 0;
    uint32_t queryDeadline = 0;
    bool queryTimed = false;
    int queryLane = -1;
    bool queryLinked = false;
    std::array<uint8_t, LAP_MAX_DATA_SIZE> answer{};
    size_t answerLength = 0;
    int shownPhase = 0;
    std::array<IrPortEvent, IRPORT_EVENTS> events{};
    size_t eventHead = 0;
    size_t eventCount = 0;
};
