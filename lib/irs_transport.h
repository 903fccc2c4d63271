// The table of transport functions the C interface calls through, one per port: the stations in
// this process, or irstackd over its socket. The interface checks arguments and handles and owns
// every wait; a transport's channel calls only look, take and give, never waiting.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ir_options.h"
#include "irstack.h"

struct IrsPort;
struct IrsChannel;
struct IrsChannelRef;

// What a connect or a listen asks for; names empty for IrCOMM's service.
struct IrsService {
    std::array<char, IAS_NAMES_MAX + 1> className{};
    std::array<char, IAS_NAMES_MAX + 1> attribute{};
    int lsap = -1; // a connect by selector, else -1
    int mode = IRS_MODE_IRCOMM;
};

struct IrsTransport {
    // Port calls, their arguments checked and the handle resolved.
    int (*portStatus)(IrsPort& port, irs_port_state& status);
    int (*setLinkLimits)(IrsPort& port, int maxWindow, int maxFrame);
    int (*setIdentity)(IrsPort& port, const char* nickname, uint16_t hints);
    int (*discover)(IrsPort& port, int timeoutMs, irs_device* devices, int maxDevices);
    int (*openChannel)(IrsPort& port, const IrsService& service, int timeoutMs,
                       irs_channel** channel);
    int (*query)(IrsPort& port, const char* className, const char* attribute, int timeoutMs,
                 irs_ias_value* values, int maxValues);
    // Ends the port's link and channels; the handle is already out of the registry.
    void (*close)(IrsPort& port);

    // Channel calls that never wait: bytes taken or queued now (0 when none), what is there.
    size_t (*take)(IrsPort& port, IrsChannel& channel, uint8_t* buffer, size_t size);
    size_t (*put)(IrsPort& port, IrsChannel& channel, const uint8_t* data, size_t size);
    long (*available)(IrsPort& port, IrsChannel& channel);
    // IRS_OK while the channel is usable, else why not.
    int (*failure)(IrsPort& port, IrsChannel& channel);
    // Once it has failed: whether every byte sent before the end has arrived (else a read waits
    // for the rest).
    bool (*drained)(IrsPort& port, IrsChannel& channel);
    // The one wait: a mark taken before a look, then a wait for any change after it.
    uint32_t (*mark)(IrsChannel& channel);
    void (*wait)(IrsPort& port, IrsChannel& channel, uint32_t mark, bool writing, int waitMs);
    // After a take or put: the channel's readiness follows.
    void (*changed)(IrsPort& port, IrsChannel& channel);
    int (*fd)(IrsPort& port, IrsChannel& channel);
    int (*channelStatus)(IrsPort& port, IrsChannel& channel, irs_channel_state& status);
    int (*describe)(IrsPort& port, IrsChannel& channel, irs_channel_info& info);
    // Closes (with the linger) or aborts the channel and retires its handle.
    int (*closeChannel)(const IrsChannelRef& found, bool abortive);
};

// The stations of this process (irs_local.cpp).
extern const IrsTransport IRS_LOCAL_TRANSPORT;
#if !defined(_WIN32)
// irstackd through its socket (irs_remote_calls.cpp).
extern const IrsTransport IRS_DAEMON_TRANSPORT;
#endif

// The prefix of a port path that names a daemon's port.
constexpr const char IRS_DAEMON_PREFIX[] = "irstackd:";
