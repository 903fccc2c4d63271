// The pty programs' settings: discovery's listing, a lost port's retries and the pump's pacing.
#pragma once

#include <cstdint>

// The longest the program listens before it lists what it found: it lists after the first round
// in which a device answered.
constexpr uint32_t PTY_DISCOVER_MS = 4000;

// How often the pty programs try to open a port that has gone (a USB dongle unplugged) again.
constexpr uint32_t PTY_PORT_RETRY_MS = 1000;

// The pump: the room a station's receive call writes into, and the most bytes one read of the
// program's input passes to the station.
constexpr uint8_t PTY_RECEIVE_SIZE = 64;
constexpr uint8_t PTY_READ_CHUNK = 32;
// Sleep of a pump that has nothing to move; how long a read of the input and a wait for the output
// to take bytes last.
constexpr uint32_t PTY_IDLE_MS = 10;
// A pump's sleep while there is no channel at all: a program searching for a device for hours
// wakes a few times a second, and the first bytes after the opening wait at most this long.
constexpr uint32_t PTY_NO_CHANNEL_MS = 100;
// The output pump's wait for received data; it also paces the status lines and the stop.
constexpr uint32_t PTY_OUTPUT_WAIT_MS = 200;
constexpr int PTY_READ_WAIT_MS = 200;
constexpr int PTY_WRITE_WAIT_MS = 20;
