// The system side of the daemon's sockets: the folder, the listening sockets, the peer's
// credentials and the signals that end the loop.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "irsd_server.h"

namespace {

int stopWrite = -1;

void onStop(int /*signal*/) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(stopWrite, &byte, 1);
    errno = saved;
}

std::string failed(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(),
                std::min(path.size() + 1, sizeof address.sun_path - 1));
    return address;
}

// Whether a daemon answers at `path`.
bool served(const sockaddr_un& address) {
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    const bool answers =
        connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return answers;
}

} // namespace

int irsdStopSignals() {
    std::array<int, 2> ends{};
    if (pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        return -1;
    }
    stopWrite = ends[1];
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0 ||
        sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        return -1;
    }
    return ends[0];
}

bool irsdPeerAllowed(int sock, gid_t group, uid_t& uid, pid_t& pid) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        return false;
    }
    uid = credentials.uid;
    pid = credentials.pid;
    if (credentials.uid == 0 || credentials.gid == group) {
        return true;
    }
#ifdef SO_PEERGROUPS
    std::array<gid_t, 256> groups{};
    socklen_t groupsSize = sizeof groups;
    if (getsockopt(sock, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &groupsSize) == 0) {
        for (size_t i = 0; i < groupsSize / sizeof(gid_t); ++i) {
            if (groups.at(i) == group) {
                return true;
            }
        }
    }
#endif
    return false;
}

bool irsdMakeFolder(const std::string& dir, gid_t group, std::string& error) {
    if (mkdir(dir.c_str(), 0750) == 0) {
        // The mode again, past the umask.
        if (chown(dir.c_str(), static_cast<uid_t>(-1), group) != 0 ||
            chmod(dir.c_str(), 0750) != 0) {
            error = failed("socket folder " + dir);
            rmdir(dir.c_str());
            return false;
        }
        return true;
    }
    struct stat status {};
    if (errno != EEXIST || stat(dir.c_str(), &status) != 0) {
        error = failed("socket folder " + dir);
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        error = "socket folder " + dir + " is not a folder";
        return false;
    }
    // A folder made for us (systemd's runtime folder) is ours but not yet the group's.
    if (status.st_uid == geteuid() && status.st_gid != group &&
        chown(dir.c_str(), static_cast<uid_t>(-1), group) != 0) {
        error = failed("socket folder " + dir);
        return false;
    }
    return true;
}

int irsdListen(const std::string& path, gid_t group, std::string& error) {
    const sockaddr_un address = addressOf(path);
    struct stat status {};
    if (lstat(path.c_str(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode)) {
            error = path + " exists and is not a socket";
            return -1;
        }
        if (served(address)) {
            error = path + " is served by another daemon";
            return -1;
        }
        unlink(path.c_str());
    }
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        error = failed("socket");
        return -1;
    }
    // Created 0660 from the start, so no moment passes with wider rights.
    const mode_t mask = umask(0117);
    const bool bound = bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    umask(mask);
    if (!bound || chown(path.c_str(), static_cast<uid_t>(-1), group) != 0 ||
        chmod(path.c_str(), 0660) != 0 || listen(sock, SOMAXCONN) != 0) {
        error = failed(path);
        if (bound) {
            unlink(path.c_str());
        }
        close(sock);
        return -1;
    }
    return sock;
}
