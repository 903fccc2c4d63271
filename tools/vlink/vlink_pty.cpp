#include "vlink_pty.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/inotify.h>
#endif

namespace {

struct SpeedCode {
    speed_t code;
    uint32_t speed;
};

constexpr std::array SPEED_CODES {
    SpeedCode{B50, 50}, SpeedCode{B75, 75}, SpeedCode{B110, 110}, SpeedCode{B134, 134},
        SpeedCode{B150, 150}, SpeedCode{B200, 200}, SpeedCode{B300, 300}, SpeedCode{B600, 600},
        SpeedCode{B1200, 1200}, SpeedCode{B1800, 1800}, SpeedCode{B2400, 2400},
        SpeedCode{B4800, 4800}, SpeedCode{B9600, 9600}, SpeedCode{B19200, 19200},
        SpeedCode{B38400, 38400}, SpeedCode{B57600, 57600}, SpeedCode{B115200, 115200},
        SpeedCode{B230400, 230400},
#if defined(B460800)
        SpeedCode{B460800, 460800}, SpeedCode{B921600, 921600},
#endif
};

void closeFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

bool makeRaw(int fd) {
    termios mode{};
    if (tcgetattr(fd, &mode) != 0) {
        return false;
    }
    cfmakeraw(&mode);
    mode.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&mode, B9600);
    cfsetospeed(&mode, B9600);
    return tcsetattr(fd, TCSANOW, &mode) == 0;
}

// Puts a symlink to target at path, replacing only an existing symlink.
bool placeLink(const char* target, const char* path) {
    struct stat info {};
    if (lstat(path, &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            errno = EEXIST;
            return false;
        }
        unlink(path);
    }
    return symlink(target, path) == 0;
}

bool linkIsOurs(const VlinkEnd& end) {
    std::array<char, sizeof(end.slaveName)> target{};
    const ssize_t length = readlink(end.path, target.data(), target.size() - 1);
    return length > 0 && std::strncmp(target.data(), end.slaveName, target.size()) == 0;
}

bool openMaster(VlinkEnd& end) {
    end.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (end.master < 0 || grantpt(end.master) != 0 || unlockpt(end.master) != 0) {
        return false;
    }
    const char* name = ptsname(end.master);
    if (name == nullptr || std::strlen(name) >= sizeof(end.slaveName)) {
        return false;
    }
    std::snprintf(end.slaveName, sizeof(end.slaveName), "%s", name);
    const int flags = fcntl(end.master, F_GETFL);
    return flags >= 0 && fcntl(end.master, F_SETFL, flags | O_NONBLOCK) == 0 &&
           fcntl(end.master, F_SETFD, FD_CLOEXEC) == 0;
}

} // namespace

uint32_t vlinkSpeedFromCode(unsigned long code) {
    for (const SpeedCode& entry : SPEED_CODES) {
        if (entry.code == code) {
            return entry.speed;
        }
    }
    return 0;
}

bool vlinkEndOpen(VlinkEnd& end, const char* path) {
    end.path = path;
    bool ok = openMaster(end);
    if (ok) {
        end.heldSlave = open(end.slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
        ok = end.heldSlave >= 0 && makeRaw(end.heldSlave);
    }
#if defined(__linux__)
    if (ok) {
        end.closeWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ok = end.closeWatch >= 0 &&
             inotify_add_watch(end.closeWatch, end.slaveName, IN_CLOSE_WRITE) >= 0;
    }
#endif
    ok = ok && placeLink(end.slaveName, path);
    if (!ok) {
        const int saved = errno;
        closeFd(end.closeWatch);
        closeFd(end.heldSlave);
        closeFd(end.master);
        errno = saved;
    }
    return ok;
}

void vlinkEndClose(VlinkEnd& end) {
    if (end.path != nullptr && end.master >= 0 && linkIsOurs(end)) {
        unlink(end.path);
    }
    closeFd(end.closeWatch);
    closeFd(end.heldSlave);
    closeFd(end.master);
}

uint32_t vlinkEndSpeed(const VlinkEnd& end) {
    termios mode{};
    if (tcgetattr(end.master, &mode) != 0) {
        return 0;
    }
    return vlinkSpeedFromCode(cfgetospeed(&mode));
}

void vlinkEndNoteCloses(VlinkEnd& end) {
#if defined(__linux__)
    if (end.closeWatch < 0) {
        return;
    }
    std::array<char, 1024> events{};
    bool closed = false;
    while (read(end.closeWatch, events.data(), events.size()) > 0) {
        closed = true;
    }
    if (closed) {
        ioctl(end.heldSlave, TIOCNXCL);
    }
#else
    (void)end;
#endif
}
