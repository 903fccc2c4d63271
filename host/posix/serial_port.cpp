// Win32 serial communications on a termios device: exclusive open, raw 8N1 configuration from a
// DCB, Win32 time-out semantics for reads and writes, and the modem-control lines.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "host_objects.h"

namespace {

struct SpeedCode {
    DWORD rate;
    speed_t code;
};

constexpr std::array SPEEDS{
    SpeedCode{110, B110},       SpeedCode{300, B300},       SpeedCode{600, B600},
    SpeedCode{1200, B1200},     SpeedCode{2400, B2400},     SpeedCode{4800, B4800},
    SpeedCode{9600, B9600},     SpeedCode{19200, B19200},   SpeedCode{38400, B38400},
    SpeedCode{57600, B57600},   SpeedCode{115200, B115200}, SpeedCode{230400, B230400},
#ifdef B460800
    SpeedCode{460800, B460800},
#endif
#ifdef B921600
    SpeedCode{921600, B921600},
#endif
};

bool speedCodeFor(DWORD rate, speed_t& code) {
    for (const SpeedCode& entry : SPEEDS) {
        if (entry.rate == rate) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

DWORD speedRateFor(speed_t code) {
    for (const SpeedCode& entry : SPEEDS) {
        if (entry.code == code) {
            return entry.rate;
        }
    }
    return 0;
}

BOOL failWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL failWithErrno() {
    return failWith(hostErrorFromErrno(errno));
}

// The open port behind a handle, with its descriptor; sets ERROR_INVALID_HANDLE otherwise.
HostObject* findPort(HANDLE file, int& fd) {
    HostObject* port = hostObjectFind(file, HostObjectKind::Port);
    fd = port != nullptr ? port->fd.load() : -1;
    if (port != nullptr && fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return port;
}

DCB dcbFromTermios(const termios& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = speedRateFor(cfgetospeed(&settings));
    dcb.fBinary = TRUE;
    dcb.fParity = (settings.c_iflag & INPCK) != 0 ? 1 : 0;
#ifdef CRTSCTS
    const bool hardwareFlow = (settings.c_cflag & CRTSCTS) != 0;
#else
    const bool hardwareFlow = false;
#endif
    dcb.fOutxCtsFlow = hardwareFlow ? 1 : 0;
    // A freshly opened tty has both lines raised.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = hardwareFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = (settings.c_iflag & IXON) != 0 ? 1 : 0;
    dcb.fInX = (settings.c_iflag & IXOFF) != 0 ? 1 : 0;
    switch (settings.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if ((settings.c_cflag & PARENB) == 0) {
        dcb.Parity = NOPARITY;
    } else {
        dcb.Parity = (settings.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
    }
    dcb.StopBits = (settings.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.XonChar = static_cast<char>(settings.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
    return dcb;
}

// Raw mode with the DCB's framing and flow control; false for what this layer cannot honour.
bool termiosFromDcb(const DCB& dcb, termios& settings) {
    speed_t speed = B0;
    if (!speedCodeFor(dcb.BaudRate, speed) || dcb.ByteSize < 5 || dcb.ByteSize > 8 ||
        dcb.Parity > EVENPARITY || dcb.StopBits == ONE5STOPBITS || dcb.StopBits > TWOSTOPBITS ||
        dcb.fOutxDsrFlow != 0 || dcb.fDsrSensitivity != 0 ||
        dcb.fDtrControl == DTR_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
        return false;
    }
    const bool hardwareFlow = dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
#ifndef CRTSCTS
    if (hardwareFlow) {
        return false;
    }
#endif
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF | IXANY | INPCK);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    settings.c_cflag |= CREAD | CLOCAL;
    constexpr std::array<tcflag_t, 4> sizes{CS5, CS6, CS7, CS8};
    settings.c_cflag |= sizes.at(dcb.ByteSize - 5U);
    if (dcb.Parity != NOPARITY) {
        settings.c_cflag |= PARENB;
        if (dcb.Parity == ODDPARITY) {
            settings.c_cflag |= PARODD;
        }
    }
    if (dcb.fParity != 0) {
        settings.c_iflag |= INPCK;
    }
    if (dcb.StopBits == TWOSTOPBITS) {
        settings.c_cflag |= CSTOPB;
    }
#ifdef CRTSCTS
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (hardwareFlow) {
        settings.c_cflag |= CRTSCTS;
    }
#endif
    if (dcb.fOutX != 0) {
        settings.c_iflag |= IXON;
    }
    if (dcb.fInX != 0) {
        settings.c_iflag |= IXOFF;
    }
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    return cfsetispeed(&settings, speed) == 0 && cfsetospeed(&settings, speed) == 0;
}

// Devices without modem-control lines (pseudo-terminals) refuse; callers ignore that.
bool setModemLine(int fd, int line, bool on) {
    return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

bool sameFraming(const termios& wanted, const termios& actual) {
    constexpr tcflag_t framing = CSIZE | PARENB | PARODD | CSTOPB;
    return cfgetospeed(&wanted) == cfgetospeed(&actual) &&
           (wanted.c_cflag & framing) == (actual.c_cflag & framing);
}

// Waits for the descriptor; false when the deadline (0 = none) passed first.
bool waitReady(int fd, short events, uint64_t deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline != 0) {
            const uint64_t now = hostMonotonicMs();
            if (now >= deadline) {
                return false;
            }
            timeout = static_cast<int>(std::min<uint64_t>(deadline - now, 60000));
        }
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, timeout);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return true; // let the read or write report the error
        }
    }
}

uint64_t deadlineAfter(uint64_t milliseconds) {
    return milliseconds == 0 ? 0 : hostMonotonicMs() + milliseconds;
}

} // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)securityAttributes;
    (void)flagsAndAttributes;
    if (fileName == nullptr || creationDisposition != OPEN_EXISTING || templateFile != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool reads = (desiredAccess & GENERIC_READ) != 0;
    const bool writes = (desiredAccess & GENERIC_WRITE) != 0;
    int mode = O_RDONLY;
    if (reads && writes) {
        mode = O_RDWR;
    } else if (writes) {
        mode = O_WRONLY;
    }
    HostObject* object = hostObjectTake();
    if (object == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    // Non-blocking: open must not wait for carrier, and reads and writes wait with poll.
    const int fd = open(fileName, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A serial device node without its hardware answers EIO; Windows calls that missing.
        const DWORD error = errno == EIO ? ERROR_FILE_NOT_FOUND : hostErrorFromErrno(errno);
        hostObjectRelease(object);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (shareMode == 0) {
        // TIOCEXCL keeps other users out, the lock also keeps out root and this process.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const DWORD error =
                errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : hostErrorFromErrno(errno);
            close(fd);
            hostObjectRelease(object);
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        ioctl(fd, TIOCEXCL);
    }
    {
        const std::lock_guard<std::mutex> guard(object->configLock);
        termios settings{};
        object->dcb = tcgetattr(fd, &settings) == 0 ? dcbFromTermios(settings) : DCB{};
        object->dcb.DCBlength = sizeof(DCB);
        object->timeouts = COMMTIMEOUTS{};
        object->linesApplied = false;
    }
    object->fd.store(fd);
    hostObjectPublish(object, HostObjectKind::Port);
    return object;
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    // The driver's buffers are fixed; the sizes are only advice on Windows too.
    (void)inQueue;
    (void)outQueue;
    int fd = -1;
    return findPort(file, fd) != nullptr ? TRUE : FALSE;
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    int fd = -1;
    if (findPort(file, fd) == nullptr) {
        return FALSE;
    }
    if ((flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    // Nothing is ever pending asynchronously, so the abort flags have nothing to do.
    const bool input = (flags & PURGE_RXCLEAR) != 0;
    const bool output = (flags & PURGE_TXCLEAR) != 0;
    if (!input && !output) {
        return TRUE;
    }
    const int queue = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
    return tcflush(fd, queue) == 0 ? TRUE : failWithErrno();
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    HostObject* port = hostObjectFind(file, HostObjectKind::Port);
    if (port == nullptr) {
        return FALSE;
    }
    if (timeouts == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    const std::lock_guard<std::mutex> guard(port->configLock);
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    HostObject* port = hostObjectFind(file, HostObjectKind::Port);
    if (port == nullptr) {
        return FALSE;
    }
    if (timeouts == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    const std::lock_guard<std::mutex> guard(port->configLock);
    *timeouts = port->timeouts;
    return TRUE;
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    int fd = -1;
    HostObject* port = findPort(file, fd);
    if (port == nullptr) {
        return FALSE;
    }
    if (dcb == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return failWithErrno();
    }
    const std::lock_guard<std::mutex> guard(port->configLock);
    *dcb = port->dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    int fd = -1;
    HostObject* port = findPort(file, fd);
    if (port == nullptr) {
        return FALSE;
    }
    if (dcb == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    const std::lock_guard<std::mutex> guard(port->configLock);
    termios old{};
    if (tcgetattr(fd, &old) != 0) {
        return failWithErrno();
    }
    termios wanted = old;
    if (!termiosFromDcb(*dcb, wanted)) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    // A driver may take a speed it cannot run and keep its own; read back to be sure.
    termios actual{};
    if (tcsetattr(fd, TCSANOW, &wanted) != 0 || tcgetattr(fd, &actual) != 0 ||
        !sameFraming(wanted, actual)) {
        tcsetattr(fd, TCSANOW, &old);
        return failWith(ERROR_INVALID_PARAMETER);
    }
    // Lines follow a control mode when it changes, so a speed change keeps the levels set since.
    if (!port->linesApplied || dcb->fDtrControl != port->dcb.fDtrControl) {
        setModemLine(fd, TIOCM_DTR, dcb->fDtrControl != DTR_CONTROL_DISABLE);
    }
    if (!port->linesApplied || dcb->fRtsControl != port->dcb.fRtsControl) {
        setModemLine(fd, TIOCM_RTS, dcb->fRtsControl != RTS_CONTROL_DISABLE);
    }
    port->linesApplied = true;
    port->dcb = *dcb;
    port->dcb.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL SetCommMask(HANDLE file, DWORD eventMask) {
    // No one waits for comm events here; the mask only has to be accepted.
    (void)eventMask;
    int fd = -1;
    return findPort(file, fd) != nullptr ? TRUE : FALSE;
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
    int fd = -1;
    if (findPort(file, fd) == nullptr) {
        return FALSE;
    }
    // The tty layer counts line errors, but does not report them per read; none are kept.
    if (errors != nullptr) {
        *errors = 0;
    }
    if (status != nullptr) {
        *status = COMSTAT{};
        int count = 0;
        if (ioctl(fd, FIONREAD, &count) == 0 && count > 0) {
            status->cbInQue = static_cast<DWORD>(count);
        }
        count = 0;
        if (ioctl(fd, TIOCOUTQ, &count) == 0 && count > 0) {
            status->cbOutQue = static_cast<DWORD>(count);
        }
    }
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    int fd = -1;
    HostObject* port = findPort(file, fd);
    if (port == nullptr) {
        return FALSE;
    }
    if (overlapped != nullptr || (buffer == nullptr && bytesToRead != 0)) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    COMMTIMEOUTS timeouts{};
    {
        const std::lock_guard<std::mutex> guard(port->configLock);
        timeouts = port->timeouts;
    }
    // MAXDWORD interval with zero totals: return at once with what has arrived.
    const bool immediate = timeouts.ReadIntervalTimeout == MAXDWORD &&
                           timeouts.ReadTotalTimeoutMultiplier == 0 &&
                           timeouts.ReadTotalTimeoutConstant == 0;
    const uint64_t deadline =
        deadlineAfter(static_cast<uint64_t>(timeouts.ReadTotalTimeoutMultiplier) * bytesToRead +
                      timeouts.ReadTotalTimeoutConstant);
    const bool interval =
        timeouts.ReadIntervalTimeout != 0 && timeouts.ReadIntervalTimeout != MAXDWORD;
    auto* bytes = static_cast<uint8_t*>(buffer);
    DWORD total = 0;
    while (total < bytesToRead) {
        const ssize_t count = read(fd, bytes + total, bytesToRead - total);
        if (count > 0) {
            total += static_cast<DWORD>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            const DWORD error = hostErrorFromErrno(errno);
            if (bytesRead != nullptr) {
                *bytesRead = total;
            }
            return failWith(error);
        }
        if (immediate) {
            break;
        }
        uint64_t until = deadline;
        if (interval && total > 0) {
            const uint64_t gapEnd = hostMonotonicMs() + timeouts.ReadIntervalTimeout;
            until = until == 0 ? gapEnd : std::min(until, gapEnd);
        }
        if (!waitReady(fd, POLLIN, until)) {
            break;
        }
    }
    if (bytesRead != nullptr) {
        *bytesRead = total;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    int fd = -1;
    HostObject* port = findPort(file, fd);
    if (port == nullptr) {
        return FALSE;
    }
    if (overlapped != nullptr || (buffer == nullptr && bytesToWrite != 0)) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    COMMTIMEOUTS timeouts{};
    {
        const std::lock_guard<std::mutex> guard(port->configLock);
        timeouts = port->timeouts;
    }
    // Zero totals mean no time-out: the call returns when every byte has been taken.
    const uint64_t deadline =
        deadlineAfter(static_cast<uint64_t>(timeouts.WriteTotalTimeoutMultiplier) * bytesToWrite +
                      timeouts.WriteTotalTimeoutConstant);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    DWORD total = 0;
    while (total < bytesToWrite) {
        const ssize_t count = write(fd, bytes + total, bytesToWrite - total);
        if (count > 0) {
            total += static_cast<DWORD>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            const DWORD error = hostErrorFromErrno(errno);
            if (bytesWritten != nullptr) {
                *bytesWritten = total;
            }
            return failWith(error);
        }
        if (!waitReady(fd, POLLOUT, deadline)) {
            break;
        }
    }
    if (bytesWritten != nullptr) {
        *bytesWritten = total;
    }
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
    int fd = -1;
    if (findPort(file, fd) == nullptr) {
        return FALSE;
    }
    int result = 0;
    switch (function) {
    case SETDTR:
    case CLRDTR:
        result = setModemLine(fd, TIOCM_DTR, function == SETDTR) ? 0 : -1;
        break;
    case SETRTS:
    case CLRRTS:
        result = setModemLine(fd, TIOCM_RTS, function == SETRTS) ? 0 : -1;
        break;
    case SETBREAK:
        result = ioctl(fd, TIOCSBRK);
        break;
    case CLRBREAK:
        result = ioctl(fd, TIOCCBRK);
        break;
    case SETXOFF:
        result = tcflow(fd, TCOOFF);
        break;
    case SETXON:
        result = tcflow(fd, TCOON);
        break;
    default:
        return failWith(ERROR_INVALID_PARAMETER);
    }
    return result == 0 ? TRUE : failWithErrno();
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
    int fd = -1;
    if (findPort(file, fd) == nullptr) {
        return FALSE;
    }
    if (modemStatus == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    *modemStatus = 0;
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) {
        return failWithErrno();
    }
    *modemStatus =
        ((lines & TIOCM_CTS) != 0 ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) != 0 ? MS_DSR_ON : 0) |
        ((lines & TIOCM_RNG) != 0 ? MS_RING_ON : 0) | ((lines & TIOCM_CAR) != 0 ? MS_RLSD_ON : 0);
    return TRUE;
}
