// The pty programs' main: opens the port and the stream and hands them to the pump; or, with
// --discover, lists the devices in range.
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "byte_stream.h"
#include "console_streams.h"
#include "ir_options.h"
#include "pty_app.h"
#include "pty_settings.h"
#include "win32.h"

#ifndef IRSTACK_VERSION
#define IRSTACK_VERSION "0"
#endif

namespace {

const char*& programName = ptyProgramName;
std::atomic<bool> stopRequested{false};

void fail(const char* format, ...) PTY_PRINTF_FORMAT(1, 2);
void fail(const char* format, ...) {
    std::array<char, 512> line{};
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line.data(), line.size(), format, arguments);
    va_end(arguments);
    // One write, so the line is not torn by the status lines of the other thread.
    std::fprintf(stderr, "%s: %s\n", programName, line.data());
}

void usage(const PtyRole& role) {
    const bool computer = role.computer();
    std::printf(
        "usage: %s [--link PATH | --stdio | --serial PORT2] [--trace] [--linger SECONDS]\n"
        "       [--transceiver a|b|plain] [--max-speed BPS] [--max-window N]\n"
        "       [--max-frame BYTES]"
        " [--class NAME] [--attribute NAME]%s [--raw] [PORT]\n%s"
        "The IrCOMM channel of the %s side as a pseudo-terminal; its path is printed.\n"
        "  PORT              the transceiver's serial port (default COM1)\n"
        "  --link PATH       also make PATH a symbolic link to the pseudo-terminal\n"
        "  --stdio           standard input and output instead of a pseudo-terminal;\n"
        "                    at the end of input, wait until all is acknowledged\n"
        "  --linger SECONDS  with --stdio: go on printing this long after that (2)\n"
        "  --transceiver K   the transceiver kind: a (speed stepped by RTS pulses), b (speed\n"
        "                    by DTR and RTS levels) or plain (no line control; the port's\n"
        "                    speed is the link's); default %s\n"
        "  --max-speed BPS   offer no speed above BPS bit/s (default 115200)\n"
        "  --max-window N    take and send windows of at most N frames, 1 to 7 (default 7)\n"
        "  --max-frame BYTES information fields of at most BYTES, 64 to 2048 (default 2048)\n"
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
        computer ? "       " PROGRAM_NAME " --discover [PORT]\n" : "", role.name,
        role.variant == 'b' ? "b" : "a", computer ? "asked for" : "offered",
        computer ? "  --lsap N          connect to selector N without asking the IAS\n" : "",
        computer ? "  --discover        list the devices in range and exit (1: none)\n" : "");
}

// Opens the station's port: a missing or busy port, or a name too long, is a clear error at
// start-up.
irs_port* openPort(const PtyRole& role, const PtyOptions& options) {
    irs_port* port = nullptr;
    const char variant = options.variant != 0 ? options.variant : role.variant;
    const int opened = irs_open(options.port, variant, options.maxSpeed, role.role, &port);
    if (opened == IRS_OK) {
        irs_set_link_limits(port, options.maxWindow, options.maxFrame); // checked when parsed
        return port;
    }
    // For IRS_ERR_PORT the library's log has said why ("irs_open: PATH: port busy").
    if (opened == IRS_ERR_ARG) {
        fail("port name too long: %s", options.port);
    } else if (opened != IRS_ERR_PORT) {
        fail("cannot open port %s: %s", options.port, irs_strerror(opened));
    }
    return nullptr;
}

// One line per device, as the stack's own listing: address, hints, the nickname if any.
void printDevice(const irs_device& device) {
    std::printf("%s  %s", device.address_text,
                device.hint_names[0] != '\0' ? device.hint_names : "no hints");
    if (device.nickname[0] != '\0') {
        std::printf("  \"%s\"", device.nickname);
    }
    std::printf("\n");
}

// Discovery for a few seconds in a thread of its own, so a stop signal ends it at once (by
// closing the port); then one line per device found.
int discover(irs_port* port) {
    hostCatchStopSignals(&stopRequested);
    std::array<irs_device, PRIMARY_DISCOVERED_MAX> devices{};
    std::atomic<bool> done{false};
    int found = 0;
    std::thread search([&] {
        found = irs_discover(port, static_cast<int>(PTY_DISCOVER_MS), devices.data(),
                             static_cast<int>(devices.size()));
        done.store(true);
    });
    while (!done.load() && !stopRequested.load()) {
        Sleep(PTY_DISCOVER_MS / 40);
    }
    irs_close(port);
    search.join();
    if (found == IRS_ERR_HANDLE) {
        fail("%s", "discovery stopped");
        return 1;
    }
    if (found < 0) {
        fail("discovery failed: %s", irs_strerror(found));
        return 1;
    }
    for (int index = 0; index < found; ++index) {
        printDevice(devices[static_cast<size_t>(index)]);
    }
    if (found == 0) {
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

int ptyMain(int argc, char** argv, const PtyRole& role) {
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
            usage(role);
        } else {
            std::printf("%s %s\n", programName, IRSTACK_VERSION);
        }
        return 0;
    }
    if (!role.computer() && (options.lsap >= 0 || options.discover)) {
        fail("%s is for the computer side (try --help)",
             options.discover ? "--discover" : "--lsap");
        return 1;
    }
    static bool trace = false;
    trace = options.trace;
    irs_set_log(ptyLog, &trace);
    irs_port* port = openPort(role, options);
    if (port == nullptr) {
        return 1;
    }
    if (options.discover) {
        return discover(port);
    }
    HostStream stream;
    if (!openStream(options, stream)) {
        irs_close(port);
        return 1;
    }
    if (!options.stdio) {
        std::printf("IrCOMM channel: %s\n", stream.devicePath.data());
        std::fflush(stdout);
    }
    hostCatchStopSignals(&stopRequested);
    PtyLink link{role, options, port};
    const int status = ptyPump(link, stream, stopRequested);
    hostStreamClose(stream);
    return status;
}
