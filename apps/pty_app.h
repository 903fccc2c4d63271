// What the pty programs share: their options, and the pump that moves bytes between a station's
// queues and a pseudo-terminal (or the standard streams), with status lines on standard error.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "console.h"
#include "discovery.h"
#include "lap.h"
#include "lap_connection.h"
#include "win32.h"

struct PtyOptions;

struct PtyStation {
    const char* role; // "computer" or "device", for the usage text
    // False when the name is too long for the station.
    bool (*setPort)(const char* name);
    // The negotiation list to offer; before start.
    void (*setOffer)(const LapOffer& offer);
    // The service options, before start.
    void (*setService)(const PtyOptions& options);
    // Starts the station afresh (queues emptied, transceiver reset, discovery from the start).
    void (*start)();
    // Ends the station's threads, waiting for them, and closes its port.
    void (*stop)();
    // The computer side only (nullptr on the device side): discovery without connecting, and the
    // devices it found.
    void (*discoverOnly)();
    bool (*discovered)(uint8_t index, LapDiscovered& device);
    // The run flag of the station's task; the program clears it to stop the station.
    std::atomic<bool>* taskRunning;
    // The error that showed the station's port gone, 0 while it is well; a start clears it.
    DWORD (*portLost)();
    // The station's connection: its phase, queues, unacknowledged bytes and watch.
    LapConnection* connection;
};

struct PtyOptions {
    const char* link = nullptr;
    const char* port = "COM1";
    // A second serial port that carries the channel instead of a pseudo-terminal.
    const char* serial = nullptr;
    // The service: IAS class and attribute (nullptr: the stations' own), a fixed selector (-1:
    // ask the IAS) and TinyTP data without IrCOMM.
    const char* className = nullptr;
    const char* attribute = nullptr;
    int lsap = -1;
    bool raw = false;
    bool discover = false;
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

// The pump (pty_pump.cpp): moves bytes between the station and the stream, prints the status
// lines, follows a lost port until it is back; returns the exit status. `stop` ends it.
struct HostStream;
int ptyPump(const PtyStation& station, const PtyOptions& options, HostStream& stream,
            std::atomic<bool>& stop);
// A status line on standard error, in one write so other threads' lines do not tear it.
void ptyStatus(const char* format, ...) CONSOLE_PRINTF_FORMAT(1, 2);
// The stack's errors (the console's error sink) as status lines; one that repeats is shown once.
void ptyShowError(const char* text, size_t length);
extern const char* ptyProgramName;
