// What the pty programs share: their options, and the pump that moves bytes between a station's
// queues and a pseudo-terminal (or the standard streams), with status lines on standard error.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "lap.h"

struct PtyStation {
    const char* role; // "computer" or "device", for the usage text
    // False when the name is too long for the station.
    bool (*setPort)(const char* name);
    // The negotiation list to offer; before start.
    void (*setOffer)(const LapOffer& offer);
    void (*start)();
    // The run flag of the station's task; the program clears it to stop the station.
    std::atomic<bool>* taskRunning;
    LinkPhase (*phase)();
    int (*room)();
    // Every byte queued has gone out and the peer has acknowledged it.
    uint8_t (*allAcknowledged)();
    void (*send)(const uint8_t* data, uint8_t length);
    uint8_t (*receive)(uint8_t* buffer);
    LinkWatch* watch;
};

struct PtyOptions {
    const char* link = nullptr;
    const char* port = "COM1";
    bool stdio = false;
    bool trace = false;
    bool help = false;
    bool version = false;
    uint32_t lingerMs = 2000;
    uint32_t maxSpeed = 115200;
};

// False, with what is wrong in `error`, when the arguments cannot be used.
bool ptyParseOptions(int argc, char** argv, PtyOptions& options, std::span<char> error);

// The whole program: options, port check, stream, station, pump; returns the exit status.
int ptyMain(int argc, char** argv, const PtyStation& station);
