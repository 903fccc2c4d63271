// irstackd's ports: each port object with its channels' sockets, and the requests of clients that
// wait on a port (connect, listen, discovery, close with linger) until it says they are done.
// Runs inside the event loop; nothing here waits.
#pragma once

#include <poll.h>

#include <array>
#include <chrono>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "irphy.h"
#include "irport.h"
#include "irsd_options.h"
#include "irsd_session.h"
#include "irsd_wire.h"

constexpr size_t IRSD_CLIENTS_MAX = 32;
// The daemon's end of a channel's socket holds this little, so the peer's credits, not the
// socket, decide how much a slow reader leaves in flight.
constexpr int IRSD_CHANNEL_BUFFER = 4096;
constexpr size_t IRSD_SEEN_MAX = 16;
// How often a lost device's path is tried again.
constexpr int IRSD_RETRY_MS = 1000;

struct IrsdClient {
    int sock = -1;
    size_t port = 0;
    uid_t uid = 0;
    pid_t pid = 0;
    size_t index = SIZE_MAX; // its slot in the server's table; SIZE_MAX for a refused one
    uint32_t serial = 0;     // tells a slot's clients apart, so a late answer finds no newcomer
    bool dropping = false;
    IrsdSession session;
    IrsdReceiver in;
    IrsdSender out;
};

class IrsdPorts {
  public:
    IrsdPorts() = default;
    IrsdPorts(const IrsdPorts&) = delete;
    IrsdPorts& operator=(const IrsdPorts&) = delete;
    IrsdPorts(IrsdPorts&&) = delete;
    IrsdPorts& operator=(IrsdPorts&&) = delete;
    ~IrsdPorts() { stop(); }

    // Opens each serial port and starts its port object; a port that does not open is served
    // all the same, answering IRSD_ERR_PORT to what needs the link, and tried again each second.
    void open(const IrsdOptions& options);
    void stop();

    // The descriptors to poll: each port's readiness and each channel's socket, with the events
    // wanted now; returns how many were written (at most `room`).
    size_t collect(std::span<pollfd> into);
    // Milliseconds the poll may wait before a port's time-out; -1 for none.
    int timeoutMs();
    // After the poll (`polled` as collect wrote it): the ports' changes, the answers they make,
    // the channels' bytes.
    void serve(std::span<const pollfd> polled, std::span<IrsdClient> clients);
    // Answers a request about the port (the session has opened it), at once or later.
    void request(std::span<IrsdClient> clients, size_t client, const IrsdMsg& msg);
    // irstack-ctl's requests, which need no open port: the port's link with its clients and
    // channels, or the devices it has seen.
    void control(std::span<IrsdClient> clients, size_t client, const IrsdMsg& msg);
    // Everything the client held goes: its channels disconnected toward the peer, its services
    // withdrawn, its pending requests forgotten.
    void leave(size_t client, uint32_t serial);

  private:
    struct Record {
        bool used = false;
        size_t client = 0;
        uint32_t serial = 0;
        uint32_t id = 0;
        size_t port = 0;
        int lane = -1; // -1 once the port's channel has been given back
        int sock = -1;
        std::array<uint8_t, 1024> toClient{};
        size_t sentAt = 0;
        size_t held = 0;
        bool ended = false;
        bool shut = false;
        // A close asked for: the socket's bytes go first, then the port's close with its linger.
        bool closing = false;
        bool closeStarted = false;
        uint32_t closeRequest = 0;
        // The linger counts from the request, however long the socket's bytes wait for room.
        std::chrono::steady_clock::time_point closeBy{};
        bool dropped = false;
        ChannelInfo info;
        int pollAt = -1;
        // For irstack-ctl: bytes from the client to the peer and back.
        uint32_t sent = 0;
        uint32_t received = 0;
    };
    struct Pending {
        bool used = false;
        size_t client = 0;
        uint32_t serial = 0;
        uint32_t request = 0;
        uint8_t type = 0;
        uint32_t tag = 0;
        size_t port = 0;
        uint8_t max = 0;
        int record = -1; // a close's channel
    };
    struct Served {
        std::string name;
        std::unique_ptr<IrphyPort> line;
        std::unique_ptr<IrPort> port;
        std::string device;
        bool live = false;
        // Why the port did not open, while it is not live.
        unsigned long openError = 0;
        // The device went away: the port is stopped and its path tried again now and then.
        bool lost = false;
        std::chrono::steady_clock::time_point retryAt{};
        std::array<int, IRPORT_CHANNELS> laneRecord{-1, -1, -1, -1};
        struct Owner {
            bool used = false;
            size_t client = 0;
            uint32_t serial = 0;
            std::array<char, IAS_NAMES_MAX + 1> className{};
            std::array<char, IAS_NAMES_MAX + 1> attribute{};
        };
        std::array<Owner, IRPORT_SERVICES> services{};
        // The devices seen, by discovery or by linking, newest last, for irstack-ctl.
        struct Seen {
            LapDiscovered device;
            std::chrono::steady_clock::time_point at;
        };
        std::array<Seen, IRSD_SEEN_MAX> seen{};
        size_t seenCount = 0;
    };

    bool send(std::span<IrsdClient> clients, size_t client, uint32_t serial, IrsdMsg& msg);
    void answer(std::span<IrsdClient> clients, size_t client, uint32_t serial, IrsdMsg& reply,
                int status);
    int startRequest(std::span<IrsdClient> clients, size_t client, const IrsdMsg& msg, Served& s,
                     uint32_t tag, Pending& pending);
    void portStatus(Served& s, IrsdMsg& reply);
    int channelRequest(size_t client, uint32_t serial, const IrsdMsg& msg, IrsdMsg& reply,
                       Pending& pending);
    void events(std::span<IrsdClient> clients, size_t index);
    // Holds the serial port and starts its port object: false, with nothing held, if it fails.
    bool start(Served& s);
    void retryStart(Served& s);
    // Notices the device gone and, once a second while it is, tries its path again.
    void watchDevice(Served& s);
    void finished(std::span<IrsdClient> clients, size_t index, const IrPortEvent& event);
    void opened(std::span<IrsdClient> clients, Pending& pending, int lane);
    // The IAS answer's values as items before the reply: their count, or a status.
    int queryItems(std::span<IrsdClient> clients, const Pending& pending,
                   std::span<const uint8_t> found);
    static int lingerLeft(const Record& r);
    void pump(Record& record, short revents);
    void release(Record& record, bool abortive);
    Record* findRecord(size_t client, uint32_t serial, uint32_t id);
    Pending* freePending();
    IrsdHeld held(size_t client, uint32_t serial, size_t port) const;
    static void noteSeen(Served& s, const LapDiscovered& device);

    std::vector<std::unique_ptr<Served>> ports;
    std::array<Record, IRSD_CLIENTS_MAX * IRSD_CLIENT_CHANNELS> records{};
    std::array<Pending, IRSD_CLIENTS_MAX * IRSD_CLIENT_PENDING> pendings{};
    const TransceiverVariant* variant = nullptr;
    uint32_t maxSpeed = UINT32_MAX;
    uint32_t lastTag = 0;
    uint32_t lastId = 0;
};
