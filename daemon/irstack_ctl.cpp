// irstack-ctl: what irstackd's ports are doing -- status, the devices seen, and the link's quality
// live -- through the same sockets as the library; irstack-ctl(1).
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "irsd_ctl_view.h"
#include "irsd_options.h"
#include "irsd_wire.h"

namespace {

constexpr int ANSWER_WAIT_MS = 3000;
constexpr auto WATCH_PERIOD = std::chrono::milliseconds(250);
constexpr uint32_t HELLO_ID = 1;

const char* const USAGE =
    "Usage: irstack-ctl [OPTION]... status|devices|watch [NAME]...\n"
    "Shows what irstackd's ports are doing: status (each port's link and its clients with their\n"
    "channels), devices (the devices discovery found, and when), watch (the link's quality,\n"
    "refreshed four times a second, until interrupted). Without NAME, every port in the socket\n"
    "folder; watch takes the first.\n"
    "  --socket-dir DIR  the daemon's socket folder (default: IRSTACK_SOCKET_DIR, else\n"
    "                    /run/irstack)\n"
    "  --json            one JSON object per port (per refresh for watch), for scripts\n"
    "  --count N         watch: stop after N refreshes (0, the default: until interrupted)\n"
    "  --help            show this help and exit\n"
    "  --version         show the program's name and version and exit\n";

std::atomic<bool> stopWanted{false};

struct Options {
    std::string socketDir = IRSD_DEFAULT_SOCKET_DIR;
    std::string command;
    std::vector<std::string> names;
    bool json = false;
    long count = 0;
};

// One connection to a port's socket, its answers read with a deadline.
class Connection {
  public:
    ~Connection() {
        if (sock >= 0) {
            close(sock);
        }
        irsdReceiverClear(in);
    }
    bool open(const std::string& path, std::string& error);
    bool send(uint8_t type, uint32_t id, std::string& error);
    bool next(IrsdMsg& msg, std::string& error);

  private:
    int sock = -1;
    IrsdReceiver in;
};

bool Connection::open(const std::string& path, std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = path + ": name too long";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size());
    sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0 ||
        connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = path + ": " +
                (errno == ENOENT || errno == ECONNREFUSED ? std::string("no daemon serves it")
                                                          : std::string(std::strerror(errno)));
        return false;
    }
    IrsdMsg reply;
    if (!send(IRSD_HELLO, HELLO_ID, error) || !next(reply, error)) {
        return false;
    }
    if (irsdStatus(reply) != IRSD_OK) {
        error = path + ": " + irsdStatusText(irsdStatus(reply));
        return false;
    }
    return true;
}

bool Connection::send(uint8_t type, uint32_t id, std::string& error) {
    IrsdMsg msg;
    irsdInit(msg, type, id);
    if (type == IRSD_HELLO) {
        msg.num[IRSD_HELLO_VERSION] = IRSD_VERSION;
    }
    std::array<uint8_t, IRSD_MSG_MAX> bytes{};
    const int length = irsdEncode(msg, bytes);
    if (length > 0 && ::send(sock, bytes.data(), static_cast<size_t>(length), MSG_NOSIGNAL) ==
                          static_cast<ssize_t>(length)) {
        return true;
    }
    error = std::string("the daemon's socket: ") + std::strerror(errno);
    return false;
}

bool Connection::next(IrsdMsg& msg, std::string& error) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ANSWER_WAIT_MS);
    for (;;) {
        const int taken = irsdTakeMessage(in, msg, IrsdFrom::DAEMON);
        if (taken == 1) {
            if (msg.fd >= 0) {
                close(msg.fd); // never asked for; not kept
                msg.fd = -1;
            }
            return true;
        }
        if (taken < 0) {
            error = std::string("the daemon's answer: ") + irsdStatusText(taken);
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd polled{sock, POLLIN, 0};
        if (left.count() <= 0 || poll(&polled, 1, static_cast<int>(left.count())) == 0) {
            error = "the daemon did not answer";
            return false;
        }
        const IrsdRead read = irsdReceive(sock, in);
        if (read == IrsdRead::END || read == IrsdRead::FAILED) {
            error = "the daemon closed the connection";
            return false;
        }
    }
}

// Asks one port; the answer's messages go to `take` until the reply to `type`.
template <typename Take>
bool ask(const Options& options, const std::string& name, uint8_t type, Take take,
         std::string& error) {
    Connection connection;
    if (!connection.open(options.socketDir + "/" + name, error) ||
        !connection.send(type, HELLO_ID + 1, error)) {
        return false;
    }
    IrsdMsg msg;
    while (connection.next(msg, error)) {
        if (msg.type == IRSD_ERROR) {
            error = name + ": " + irsdStatusText(irsdStatus(msg));
            return false;
        }
        if (msg.id == HELLO_ID + 1 && !take(msg)) {
            error = name + ": an answer of another kind";
            return false;
        }
        if (msg.type == (type | IRSD_REPLY)) {
            if (irsdStatus(msg) != IRSD_OK) {
                error = name + ": " + irsdStatusText(irsdStatus(msg));
                return false;
            }
            return true;
        }
    }
    error = name + ": " + error;
    return false;
}

bool status(const Options& options, const std::string& name, CtlPort& port, std::string& error) {
    port = CtlPort{};
    return ask(
        options, name, IRSD_CTL_STATUS,
        [&](const IrsdMsg& msg) { return ctlTakeStatus(msg, port); }, error);
}

// The ports the folder holds: its sockets, by name.
std::vector<std::string> portsIn(const std::string& folder, std::string& error) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        error = folder + ": " + std::strerror(errno);
        return names;
    }
    while (const dirent* entry = readdir(dir)) {
        struct stat status {};
        const std::string path = folder + "/" + entry->d_name;
        if (irsdValidPortName(entry->d_name) && lstat(path.c_str(), &status) == 0 &&
            S_ISSOCK(status.st_mode)) {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    if (names.empty()) {
        error = folder + ": no daemon's port is there";
    }
    return names;
}

bool parse(int argc, char** argv, Options& options, std::string& error) {
    if (const char* dir = std::getenv("IRSTACK_SOCKET_DIR"); dir != nullptr && *dir != '\0') {
        options.socketDir = dir;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--socket-dir" || arg == "--count") && i + 1 >= argc) {
            error = arg + " wants a value";
            return false;
        }
        if (arg == "--socket-dir") {
            options.socketDir = argv[++i];
        } else if (arg == "--count") {
            char* end = nullptr;
            options.count = std::strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || options.count < 0 || options.count > 1000000) {
                error = "--count wants a number from 0 to 1000000";
                return false;
            }
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg.starts_with("-")) {
            error = "unknown option " + arg;
            return false;
        } else if (options.command.empty()) {
            options.command = arg;
        } else if (irsdValidPortName(arg)) {
            options.names.push_back(arg);
        } else {
            error = "not a port name: " + arg;
            return false;
        }
    }
    if (options.command != "status" && options.command != "devices" && options.command != "watch") {
        error = options.command.empty() ? "status, devices or watch?"
                                        : "unknown command " + options.command;
        return false;
    }
    return true;
}

void onStop(int) {
    stopWanted.store(true);
}

int watch(const Options& options, const std::string& name) {
    struct sigaction action {};
    action.sa_handler = onStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const bool overwrite = !options.json && isatty(STDOUT_FILENO) != 0;
    CtlPort before;
    auto beforeAt = std::chrono::steady_clock::now();
    for (long shown = 0; !stopWanted.load() && (options.count == 0 || shown <= options.count);) {
        CtlPort now;
        std::string error;
        if (!status(options, name, now, error)) {
            std::fprintf(stderr, "%sirstack-ctl: %s\n", overwrite ? "\n" : "", error.c_str());
            return 1;
        }
        const auto at = std::chrono::steady_clock::now();
        // The first look only sets where the rates start.
        if (shown++ > 0) {
            const CtlRates rates =
                ctlRates(before, now, std::chrono::duration<double>(at - beforeAt).count());
            const std::string line =
                options.json ? ctlWatchJson(now, rates) : ctlWatchLine(now, rates);
            std::printf(overwrite ? "\r%s\033[K" : "%s\n", line.c_str());
            std::fflush(stdout);
        }
        before = now;
        beforeAt = at;
        std::this_thread::sleep_for(WATCH_PERIOD);
    }
    if (overwrite) {
        std::printf("\n");
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "--version") == 0) {
            std::fputs(argv[i][2] == 'h' ? USAGE : "irstack-ctl " IRSTACK_VERSION "\n", stdout);
            return 0;
        }
    }
    Options options;
    std::string error;
    if (!parse(argc, argv, options, error)) {
        std::fprintf(stderr, "irstack-ctl: %s\nTry 'irstack-ctl --help'.\n", error.c_str());
        return 2;
    }
    std::vector<std::string> names = options.names;
    if (names.empty()) {
        names = portsIn(options.socketDir, error);
        if (names.empty()) {
            std::fprintf(stderr, "irstack-ctl: %s\n", error.c_str());
            return 1;
        }
    }
    if (options.command == "watch") {
        return watch(options, names.front());
    }
    int result = 0;
    for (const std::string& name : names) {
        std::string shown;
        if (options.command == "status") {
            CtlPort port;
            if (status(options, name, port, error)) {
                shown = options.json ? ctlStatusJson(port) + "\n" : ctlStatusText(port);
            }
        } else {
            std::vector<CtlSeen> seen;
            if (ask(
                    options, name, IRSD_CTL_DEVICES,
                    [&](const IrsdMsg& msg) { return ctlTakeSeen(msg, seen); }, error)) {
                shown = options.json ? ctlSeenJson(name, seen) + "\n" : ctlSeenText(name, seen);
            }
        }
        if (shown.empty()) {
            std::fprintf(stderr, "irstack-ctl: %s\n", error.c_str());
            result = 1;
        }
        std::fputs(shown.c_str(), stdout);
    }
    return result;
}
