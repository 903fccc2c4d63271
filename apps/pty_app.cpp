// The pty programs' main: checks the port, opens the stream, starts the station and pumps bytes
// between them. Input is read only while the channel is open and the transmit queue has room, and
// received bytes are taken only when the stream can take them, so the queues never overflow.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "byte_stream.h"
#include "console.h"
#include "console_streams.h"
#include "lap_terms.h"
#include "port_setup.h"
#include "pty_app.h"
#include "transceiver.h"
#include "win32.h"

#ifndef IRSTACK_VERSION
#define IRSTACK_VERSION "0"
#endif

namespace {

const char* programName = "pty";
std::atomic<bool> stopRequested{false};
std::atomic<bool> inputEnded{false};
std::atomic<bool> inputDone{false};

void fail(const char* format, ...) CONSOLE_PRINTF_FORMAT(1, 2);
void fail(const char* format, ...) {
    std::array<char, 512> line{};
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line.data(), line.size(), format, arguments);
    va_end(arguments);
    // One write, so the line is not torn by the status lines of the other thread.
    std::fprintf(stderr, "%s: %s\n", programName, line.data());
}

void toStandardError(const char* text, size_t length) {
    std::fwrite(text, 1, length, stderr);
}

void toNowhere(const char* /*text*/, size_t /*length*/) {}

void usage(const PtyStation& station) {
    std::printf("usage: %s [--link PATH] [--stdio] [--trace] [--linger SECONDS] [--max-speed BPS]"
                " [PORT]\n"
                "The IrCOMM channel of the %s side as a pseudo-terminal; its path is printed.\n"
                "  PORT              the transceiver's serial port (default COM1)\n"
                "  --link PATH       also make PATH a symbolic link to the pseudo-terminal\n"
                "  --stdio           standard input and output instead of a pseudo-terminal;\n"
                "                    at the end of input, wait until all is acknowledged\n"
                "  --linger SECONDS  with --stdio: go on printing this long after that (2)\n"
                "  --max-speed BPS   offer no speed above BPS bit/s (default 115200)\n"
                "  --trace           print the frame trace on standard error\n"
                "  --help            print this and exit\n"
                "  --version         print the version and exit\n",
                programName, station.role);
}

// Opens and closes the port once, so a missing or busy port is a clear error before start-up.
bool portUsable(const char* port) {
    const HANDLE handle = portSetupOpen(port);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            fail("no such port: %s", port);
        } else if (error == ERROR_ACCESS_DENIED) {
            fail("port busy or not allowed: %s", port);
        } else {
            fail("cannot open port %s", port);
        }
        return false;
    }
    CloseHandle(handle);
    return true;
}

bool openStream(const PtyOptions& options, HostStream& stream) {
    if (options.stdio) {
        hostStdioOpen(stream);
        return true;
    }
    if (!hostPtyOpen(stream)) {
        fail("no pseudo-terminal here (%s); use --stdio", std::strerror(errno));
        return false;
    }
    if (options.link == nullptr) {
        return true;
    }
    const HostLinkResult result = hostPtyLink(stream, options.link);
    if (result == HostLinkResult::taken) {
        fail("%s exists and is not a symbolic link; not replaced", options.link);
    } else if (result == HostLinkResult::failed) {
        fail("cannot make the link %s", options.link);
    }
    if (result != HostLinkResult::made) {
        hostStreamClose(stream);
        return false;
    }
    return true;
}

// Standard input or the pseudo-terminal into the transmit queue.
void pumpInput(const PtyStation* station, HostStream* stream) {
    std::array<uint8_t, PTY_READ_CHUNK> buffer{};
    while (!stopRequested.load()) {
        const int room = station->room();
        if (station->phase() != LINK_OPEN || room <= 0) {
            Sleep(PTY_IDLE_MS); // the bytes wait in the stream
            continue;
        }
        const size_t wanted = std::min<size_t>(buffer.size(), static_cast<size_t>(room));
        const int count = hostStreamRead(*stream, buffer.data(), wanted, PTY_READ_WAIT_MS);
        if (count < 0) {
            inputEnded.store(true);
            break;
        }
        if (count > 0) {
            station->send(buffer.data(), static_cast<uint8_t>(count));
        }
    }
    inputDone.store(true);
}

struct StatusView {
    LinkPhase shown = LINK_SEARCHING;
};

void showStatus(const PtyStation& station, StatusView& view) {
    const LinkPhase phase = station.phase();
    if (phase == view.shown) {
        return;
    }
    if (view.shown == LINK_OPEN) {
        std::fprintf(stderr, "%s: channel lost\n", programName);
    }
    if (phase == LINK_SEARCHING) {
        std::fprintf(stderr, "%s: searching\n", programName);
    }
    if (phase >= LINK_CONNECTED && view.shown == LINK_SEARCHING) {
        std::array<uint8_t, 4> address{};
        lapPutAddress(address.data(), station.watch->peerAddress.load());
        std::fprintf(stderr, "%s: connected to %02X-%02X-%02X-%02X at %lu bit/s\n", programName,
                     address[0], address[1], address[2], address[3],
                     static_cast<unsigned long>(station.watch->speed.load()));
    }
    if (phase == LINK_OPEN) {
        std::fprintf(stderr, "%s: channel open\n", programName);
    }
    view.shown = phase;
}

// After the end of standard input: all acknowledged, then the linger time.
struct Ending {
    enum Stage : uint8_t { sending, draining, lingering } stage = sending;
    DWORD lingerStart = 0;
};

// 0 to go on, 1 when the program should exit 0, -1 when the channel was lost with data unsent.
int followEnding(const PtyStation& station, const PtyOptions& options, Ending& ending) {
    if (ending.stage == Ending::sending) {
        if (!inputEnded.load()) {
            return 0;
        }
        ending.stage = Ending::draining;
    }
    if (ending.stage == Ending::lingering) {
        return GetTickCount() - ending.lingerStart >= options.lingerMs ? 1 : 0;
    }
    if (station.phase() != LINK_OPEN) {
        return -1;
    }
    if (station.allAcknowledged() != 0) {
        ending.stage = Ending::lingering;
        ending.lingerStart = GetTickCount();
    }
    return 0;
}

// Received bytes to the stream until a stop, the end of the linger time or a lost channel.
int pumpOutput(const PtyStation& station, const PtyOptions& options, HostStream& stream) {
    std::array<uint8_t, PTY_RECEIVE_SIZE> buffer{};
    StatusView view;
    Ending ending;
    uint32_t deliveries = 0;
    std::fprintf(stderr, "%s: searching\n", programName);
    while (!stopRequested.load()) {
        showStatus(station, view);
        const int end = options.stdio ? followEnding(station, options, ending) : 0;
        if (end > 0) {
            return 0;
        }
        if (end < 0) {
            fail("%s", "channel lost before all input was acknowledged");
            return 1;
        }
        if (!hostStreamWritable(stream, PTY_WRITE_WAIT_MS)) {
            continue; // a slow reader: the bytes stay queued
        }
        const uint8_t count = station.receive(buffer.data());
        if (count == 0) {
            // Open, blocks until the engine delivers rather than waking to look; before that, the
            // short wait shows "channel open" as soon as it comes.
            const bool open = station.phase() == LINK_OPEN;
            lapWatchWaitDelivery(*station.watch, deliveries,
                                 open ? PTY_OUTPUT_WAIT_MS : PTY_IDLE_MS);
        } else if (!hostStreamWrite(stream, buffer.data(), count, stopRequested)) {
            if (!stopRequested.load()) {
                fail("%s", "output closed");
                return 1;
            }
        }
    }
    return 0;
}

} // namespace

int ptyMain(int argc, char** argv, const PtyStation& station) {
    hostKeepConsoleStreams();
    programName = PROGRAM_NAME;
    PtyOptions options;
    std::array<char, 160> error{};
    if (!ptyParseOptions(argc, argv, options, error)) {
        fail("%s (try --help)", error.data());
        return 1;
    }
    if (options.help || options.version) {
        if (options.help) {
            usage(station);
        } else {
            std::printf("%s %s\n", programName, IRSTACK_VERSION);
        }
        return 0;
    }
    consoleSetSink(options.trace ? toStandardError : toNowhere);
    if (!station.setPort(options.port)) {
        fail("port name too long: %s", options.port);
        return 1;
    }
    HostStream stream;
    if (!portUsable(options.port) || !openStream(options, stream)) {
        return 1;
    }
    if (!options.stdio) {
        std::printf("IrCOMM channel: %s\n", stream.devicePath.data());
    }
    hostCatchStopSignals(&stopRequested);
    station.setOffer(lapFullOffer(lapBaudBitsUpTo(transceiverBaudBits(), options.maxSpeed)));
    station.start();
    std::thread input(pumpInput, &station, &stream);
    const int status = pumpOutput(station, options, stream);
    stopRequested.store(true);
    if (HOST_READ_TIMES_OUT || inputDone.load()) {
        input.join();
    } else {
        input.detach(); // blocked in a read that only the end of the program ends
    }
    station.taskRunning->store(false);
    Sleep(PTY_STOP_WAIT_MS); // the task ends its pass
    lapWatchSettle(*station.watch);
    hostStreamClose(stream);
    return status;
}
