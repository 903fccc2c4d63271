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

// Fills `reply` with the answer to `request`, a message from a client; false, leaving `reply`
// alone, for a request about the port it has opened, which the port answers.
bool irsdAnswer(IrsdSession& session, const IrsdMsg& request, IrsdMsg& reply);
