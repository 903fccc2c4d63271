// The pty programs' main: checks the port, opens the stream, starts the station and hands them to
// the pump; or, with --discover, lists the devices in range.
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "byte_stream.h"
#include "console.h"
#include "console_streams.h"
#include "ir_options.h"
#include "lap_terms.h"
#include "port_setup.h"
#include "pty_app.h"
#include "transceiver.h"
#include "win32.h"

#ifndef IRSTACK_VERSION
#define IRSTACK_VERSION "0"
#endif

namespace {

const char*& programName = ptyProgramName;
std::atomic<bool> stopRequested{false};

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
    const bool computer = station.discovered != nullptr;
    std::printf(
        "usage: %s [--link PATH | --stdio | --serial PORT2] [--trace] [--linger SECONDS]\n"
        "       [--max-speed BPS] [--class NAME] [--attribute NAME]%s [--raw] [PORT]\n%s"
        "The IrCOMM channel of the %s side as a pseudo-terminal; its path is printed.\n"
        "  PORT              the transceiver's serial port (default COM1)\n"
        "  --link PATH       also make PATH a symbolic link to the pseudo-terminal\n"
        "  --stdio           standard input and output instead of a pseudo-terminal;\n"
        "                    at the end of input, wait until all is acknowledged\n"
        "  --linger SECONDS  with --stdio: go on printing this long after that (2)\n"
        "  --max-speed BPS   offer no speed above BPS bit/s (default 115200)\n"
        "  --serial PORT2    relay the channel to another serial port instead, such as\n"
        "                    one end of a virtual null-modem pair\n"
        "  --trace           print the frame trace on standard error\n"
        "  --class NAME      the IAS class of the service %s\n"
        "  --attribute NAME  the IAS attribute holding its selector\n"
        "%s"
        "  --raw             TinyTP data as it is, for a service that is not IrCOMM\n"
        "%s"
        "  --help            print this and exit\n"
        "  --version         print the version and exit\n",
        programName, computer ? " [--lsap N]" : "",
        computer ? "       " PROGRAM_NAME " --discover [PORT]\n" : "", station.role,
        computer ? "asked for" : "offered",
        computer ? "  --lsap N          connect to selector N without asking the IAS\n" : "",
        computer ? "  --discover        list the devices in range and exit (1: none)\n" : "");
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

// Discovery for a few seconds, then one line per device found.
int discover(const PtyStation& station) {
    station.discoverOnly();
    hostCatchStopSignals(&stopRequested);
    station.start();
    const DWORD start = GetTickCount();
    while (!stopRequested.load() && GetTickCount() - start < PTY_DISCOVER_MS) {
        Sleep(PTY_DISCOVER_MS / 40);
    }
    station.stop();
    LapDiscovered device;
    uint8_t index = 0;
    for (; station.discovered(index, device); ++index) {
        std::array<char, 256> line{};
        lapDescribeDiscovered(device, line);
        std::printf("%s\n", line.data());
    }
    if (index == 0) {
        fail("%s", "no device found");
        return 1;
    }
    return 0;
}

bool openStream(const PtyOptions& options, HostStream& stream) {
    if (options.stdio) {
        hostStdioOpen(stream);
        return true;
    }
    if (options.serial != nullptr) {
        const unsigned long error = hostSerialStreamOpen(stream, options.serial);
        if (error != 0) {
            fail("cannot open the second port %s (error %lu)", options.serial, error);
        }
        return error == 0;
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
    if (station.discovered == nullptr && (options.lsap >= 0 || options.discover)) {
        fail("%s is for the computer side (try --help)",
             options.discover ? "--discover" : "--lsap");
        return 1;
    }
    consoleSetSink(options.trace ? toStandardError : toNowhere);
    consoleSetErrorSink(ptyShowError);
    if (!station.setPort(options.port)) {
        fail("port name too long: %s", options.port);
        return 1;
    }
    station.setOffer(lapFullOffer(lapBaudBitsUpTo(transceiverBaudBits(), options.maxSpeed)));
    if (options.discover) {
        return portUsable(options.port) ? discover(station) : 1;
    }
    HostStream stream;
    if (!portUsable(options.port) || !openStream(options, stream)) {
        return 1;
    }
    if (!options.stdio) {
        std::printf("IrCOMM channel: %s\n", stream.devicePath.data());
        std::fflush(stdout);
    }
    hostCatchStopSignals(&stopRequested);
    station.setService(options);
    station.start();
    const int status = ptyPump(station, options, stream, stopRequested);
    lapWatchSettle(station.connection->watch());
    hostStreamClose(stream);
    return status;
}
