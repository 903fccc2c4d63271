// Win32 serial ports on a termios device: exclusive open, queues, purge, time-outs, comm mask and
// status. Settings, transfers and modem lines live in their own sources.
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "serial_port.h"

BOOL hostFailWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL hostFailWithErrno() {
    hostSetLastErrors(hostErrorFromErrno(errno), errno);
    return FALSE;
}

HostObject* hostPortFind(HANDLE file, int& fd) {
    HostObject* port = hostObjectFind(file, HostObjectKind::Port);
    fd = port != nullptr ? port->fd.load() : -1;
    if (port != nullptr && fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return port;
}

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
        const int systemError = errno;
        const DWORD error = errno == EIO ? ERROR_FILE_NOT_FOUND : hostErrorFromErrno(errno);
        hostObjectRelease(object);
        hostSetLastErrors(error, systemError);
        return INVALID_HANDLE_VALUE;
    }
    if (shareMode == 0) {
        // TIOCEXCL keeps other users out, the lock also keeps out root and this process.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int systemError = errno;
            const DWORD error =
                errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : hostErrorFromErrno(errno);
            close(fd);
            hostObjectRelease(object);
            hostSetLastErrors(error, systemError);
            return INVALID_HANDLE_VALUE;
        }
        ioctl(fd, TIOCEXCL);
    }
    {
        const std::lock_guard<std::mutex> guard(object->configLock);
        termios settings{};
        object->dcb = tcgetattr(fd, &settings) == 0 ? hostDcbFromTermios(settings) : DCB{};
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
    return hostPortFind(file, fd) != nullptr ? TRUE : FALSE;
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    int fd = -1;
    if (hostPortFind(file, fd) == nullptr) {
        return FALSE;
    }
    if ((flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) {
        return hostFailWith(ERROR_INVALID_PARAMETER);
    }
    // Nothing is ever pending asynchronously, so the abort flags have nothing to do.
    const bool input = (flags & PURGE_RXCLEAR) != 0;
    const bool output = (flags & PURGE_TXCLEAR) != 0;
    if (!input && !output) {
        return TRUE;
    }
    const int queue = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
    return tcflush(fd, queue) == 0 ? TRUE : hostFailWithErrno();
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    HostObject* port = hostObjectFind(file, HostObjectKind::Port);
    if (port == nullptr) {
        return FALSE;
    }
    if (timeouts == nullptr) {
        return hostFailWith(ERROR_INVALID_PARAMETER);
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
        return hostFailWith(ERROR_INVALID_PARAMETER);
    }
    const std::lock_guard<std::mutex> guard(port->configLock);
    *timeouts = port->timeouts;
    return TRUE;
}

BOOL SetCommMask(HANDLE file, DWORD eventMask) {
    // No one waits for comm events here; the mask only has to be accepted.
    (void)eventMask;
    int fd = -1;
    return hostPortFind(file, fd) != nullptr ? TRUE : FALSE;
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
    int fd = -1;
    if (hostPortFind(file, fd) == nullptr) {
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
