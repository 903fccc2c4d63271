// The port layer's result codes, phases and link limits. The library's public codes carry the
// same values (checked there), and irstackd sends them on the wire as they are.
#pragma once

#include "ir_options.h"

// Results: 0 or one of these.
constexpr int IRPORT_OK = 0;
constexpr int IRPORT_ERR_ARG = -1;
constexpr int IRPORT_ERR_HANDLE = -2;
constexpr int IRPORT_ERR_STATE = -3;
constexpr int IRPORT_ERR_TIMEOUT = -4;
constexpr int IRPORT_ERR_PORT = -5;
constexpr int IRPORT_ERR_PORT_LOST = -6;
constexpr int IRPORT_ERR_PEER_GONE = -7;
constexpr int IRPORT_ERR_NO_SERVICE = -8;
constexpr int IRPORT_ERR_IO = -9;
constexpr int IRPORT_ERR_UNSUPPORTED = -10;
constexpr int IRPORT_ERR_NO_MEMORY = -11;

// How far the port's link has come.
constexpr int IRPORT_PHASE_IDLE = 0;      // nothing under way
constexpr int IRPORT_PHASE_SEARCHING = 1; // discovering or connecting, or a listen waits
constexpr int IRPORT_PHASE_CONNECTED = 2; // linked, the first channel not yet open
constexpr int IRPORT_PHASE_OPEN = 3;      // the first channel is open

constexpr int IRPORT_WINDOW_MAX = 7;
constexpr int IRPORT_FRAME_MIN = 64;
constexpr int IRPORT_FRAME_MAX = LAP_MAX_DATA_SIZE;
