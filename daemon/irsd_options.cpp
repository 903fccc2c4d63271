// Parsing and checking irstackd's command line; nothing here touches the system.
#include "irsd_options.h"

#include <sys/un.h>

#include <cstdlib>
#include <cstring>

const char* const IRSD_USAGE =
    "Usage: irstackd [OPTION]... NAME=DEVICE...\n"
    "Serves the infrared port DEVICE to every program of the machine as irstackd:NAME.\n"
    "\n"
    "  --socket-dir DIR  the sockets' folder (default: $IRSTACK_SOCKET_DIR, else /run/irstack)\n"
    "  --group GROUP     the group whose members may use the ports (default: dialout)\n"
    "  --variant KIND    the transceiver variant: a, b or plain (default: a)\n"
    "  --max-speed N     offer speeds up to N bit/s, from 9600 (default: the variant's fastest)\n"
    "  --help            show this text and exit\n"
    "  --version         show the version and exit\n";

namespace {

constexpr unsigned long MIN_SPEED = 9600;
constexpr unsigned long MAX_SPEED = 4000000;

bool parseSpeed(const char* text, uint32_t& speed) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || value < MIN_SPEED || value > MAX_SPEED) {
        return false;
    }
    speed = static_cast<uint32_t>(value);
    return true;
}

bool addPort(const std::string& pair, IrsdOptions& options, std::string& error) {
    const size_t equals = pair.find('=');
    if (equals == std::string::npos) {
        error = "'" + pair + "' is not NAME=DEVICE";
        return false;
    }
    IrsdPortConfig port{pair.substr(0, equals), pair.substr(equals + 1)};
    if (!irsdValidPortName(port.name)) {
        error = "port name '" + port.name + "' is not 1 to 32 letters, digits, '-', '_' or '.'";
        return false;
    }
    if (port.device.empty()) {
        error = "port " + port.name + " has no device";
        return false;
    }
    for (const IrsdPortConfig& other : options.ports) {
        if (other.name == port.name || other.device == port.device) {
            error = "port " + port.name + " or its device is given twice";
            return false;
        }
    }
    if (options.ports.size() == IRSD_PORTS_MAX) {
        error = "more than 16 ports";
        return false;
    }
    options.ports.push_back(std::move(port));
    return true;
}

} // namespace

bool irsdValidPortName(std::string_view name) {
    if (name.empty() || name.size() > IRSD_PORT_NAME_MAX || name[0] == '.') {
        return false;
    }
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!plain) {
            return false;
        }
    }
    return true;
}

bool irsdParseOptions(int argc, const char* const* argv, const char* socketDirEnv,
                      IrsdOptions& options, std::string& error) {
    if (socketDirEnv != nullptr && socketDirEnv[0] != '\0') {
        options.socketDir = socketDirEnv;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "--version") {
            (argument == "--help" ? options.help : options.version) = true;
            return true;
        }
        const bool takesValue = argument == "--socket-dir" || argument == "--group" ||
                                argument == "--variant" || argument == "--max-speed";
        if (takesValue && i + 1 == argc) {
            error = argument + " wants a value";
            return false;
        }
        if (argument == "--socket-dir") {
            options.socketDir = argv[++i];
        } else if (argument == "--group") {
            options.group = argv[++i];
        } else if (argument == "--variant") {
            const std::string variant = argv[++i];
            if (variant != "a" && variant != "b" && variant != "plain") {
                error = "--variant wants a, b or plain, not '" + variant + "'";
                return false;
            }
            options.variant = variant[0]; // 'p' for plain, as irs_open names it
        } else if (argument == "--max-speed") {
            if (!parseSpeed(argv[++i], options.maxSpeed)) {
                error = std::string("--max-speed wants bit/s from 9600, not '") + argv[i] + "'";
                return false;
            }
        } else if (argument.starts_with("-")) {
            error = "unknown option " + argument;
            return false;
        } else if (!addPort(argument, options, error)) {
            return false;
        }
    }
    if (options.ports.empty()) {
        error = "no port given (NAME=DEVICE)";
        return false;
    }
    if (options.socketDir.empty() || options.group.empty()) {
        error = "the socket folder and the group may not be empty";
        return false;
    }
    // The longest socket path must fit a socket address.
    if (options.socketDir.size() + 1 + IRSD_PORT_NAME_MAX >= sizeof(sockaddr_un::sun_path)) {
        error = "socket folder path too long: " + options.socketDir;
        return false;
    }
    return true;
}
