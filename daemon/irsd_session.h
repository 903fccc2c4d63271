// What one client's connection has said and may do, and the answer to each of its requests;
// no sockets here, so the rules can be read (and tested) apart from the event loop.
#pragma once

#include <cstdint>
#include <string_view>

#include "irsd_msg.h"

// What each client may hold at once; hello's reply tells the client.
constexpr uint8_t IRSD_CLIENT_CHANNELS = 4; // IRS_CHANNELS_MAX
constexpr uint8_t IRSD_CLIENT_SERVICES = 4;
constexpr uint8_t IRSD_CLIENT_PENDING = 4; // requests without their reply yet

struct IrsdSession {
    std::string_view portName; // the port whose socket the client came through
    bool hello = false;
    bool opened = false;
    uint8_t role = 0;
};

// What one client holds on its port: requests waiting for their end, channels (connects and
// listens under way counted), services it offers.
struct IrsdHeld {
    size_t pending = 0;
    size_t channels = 0;
    size_t services = 0;
};
// IRSD_OK when a request of `type` may start beside what the client holds, IRSD_ERR_NO_MEMORY
// past one of its limits; `newService`: a listen that offers a service the client has not yet.
int irsdWithinLimits(uint8_t type, const IrsdHeld& held, bool newService);

// Fills `reply` with the answer to `request`, a message from a client; false, leaving `reply`
// alone, for a request about the port it has opened, which the port answers.
bool irsdAnswer(IrsdSession& session, const IrsdMsg& request, IrsdMsg& reply);
