// ReadFile and WriteFile on a port: one transfer loop with the Win32 time-out meaning, waiting for
// the descriptor with poll.
#include <algorithm>
#include <cerrno>
#include <mutex>
#include <poll.h>
#include <unistd.h>

#include "serial_port.h"

namespace {

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

// A terminal whose other side has gone reads nothing, like one with nothing to read, but polls
// as hung up.
bool hungUp(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR)) != 0;
}

// The clock reads whole milliseconds, so one more keeps a time-out from ending up to 1 ms short.
uint64_t deadlineAfter(uint64_t milliseconds) {
    return milliseconds == 0 ? 0 : hostMonotonicMs() + milliseconds + 1;
}

// One call's bytes and limits; exactly one of readInto and writeFrom is set.
struct Transfer {
    int fd;
    uint8_t* readInto;
    const uint8_t* writeFrom;
    DWORD count;
    // Return with what has moved as soon as nothing more is ready.
    bool immediate;
    // Wait until the deadline for the first byte only, then return as `immediate` does.
    bool firstByteOnly;
    // 0: none.
    uint64_t deadline;
    // Longest gap between bytes once one has come; 0: none.
    DWORD intervalMs;
};

ssize_t moveOnce(const Transfer& job, DWORD done) {
    if (job.readInto != nullptr) {
        return read(job.fd, job.readInto + done, job.count - done);
    }
    return write(job.fd, job.writeFrom + done, job.count - done);
}

BOOL transferBytes(const Transfer& job, LPDWORD moved) {
    const short events = job.readInto != nullptr ? POLLIN : POLLOUT;
    DWORD total = 0;
    while (total < job.count) {
        const ssize_t count = moveOnce(job, total);
        if (count > 0) {
            total += static_cast<DWORD>(count);
            // A short read took all there was; asking again would only find nothing.
            if (total < job.count && (job.immediate || job.firstByteOnly)) {
                break;
            }
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count == 0 && job.readInto != nullptr && hungUp(job.fd)) {
            // The device has gone (a hung-up terminal): what Windows says of a removed port, not
            // a read that found nothing.
            if (moved != nullptr) {
                *moved = total;
            }
            hostSetLastErrors(ERROR_GEN_FAILURE, EIO);
            return FALSE;
        }
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            const int systemError = errno;
            if (moved != nullptr) {
                *moved = total;
            }
            hostSetLastErrors(hostErrorFromErrno(systemError), systemError);
            return FALSE;
        }
        if (job.immediate || (job.firstByteOnly && total > 0)) {
            break;
        }
        uint64_t until = job.deadline;
        if (job.intervalMs != 0 && total > 0) {
            const uint64_t gapEnd = hostMonotonicMs() + job.intervalMs;
            until = until == 0 ? gapEnd : std::min(until, gapEnd);
        }
        if (!waitReady(job.fd, events, until)) {
            break;
        }
    }
    if (moved != nullptr) {
        *moved = total;
    }
    return TRUE;
}

// The port's time-outs as last set, and its descriptor; nullptr (error set) for a bad handle.
HostObject* portForTransfer(HANDLE file, int& fd, COMMTIMEOUTS& timeouts) {
    HostObject* port = hostPortFind(file, fd);
    if (port != nullptr) {
        const std::lock_guard<std::mutex> guard(port->configLock);
        timeouts = port->timeouts;
    }
    return port;
}

} // namespace

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    int fd = -1;
    COMMTIMEOUTS timeouts{};
    if (portForTransfer(file, fd, timeouts) == nullptr) {
        return FALSE;
    }
    if (overlapped != nullptr || (buffer == nullptr && bytesToRead != 0)) {
        return hostFailWith(ERROR_INVALID_PARAMETER);
    }
    Transfer job{fd, static_cast<uint8_t*>(buffer), nullptr, bytesToRead, false, false, 0, 0};
    const bool intervalMax = timeouts.ReadIntervalTimeout == MAXDWORD;
    const DWORD constant = timeouts.ReadTotalTimeoutConstant;
    // MAXDWORD interval with zero totals: return at once with what has arrived.
    job.immediate = intervalMax && timeouts.ReadTotalTimeoutMultiplier == 0 && constant == 0;
    // MAXDWORD interval and multiplier: what has arrived at once, else the first byte to come
    // within the constant.
    job.firstByteOnly = intervalMax && timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
                        constant > 0 && constant < MAXDWORD;
    if (job.firstByteOnly) {
        job.deadline = deadlineAfter(constant);
    } else {
        job.deadline = deadlineAfter(
            static_cast<uint64_t>(timeouts.ReadTotalTimeoutMultiplier) * bytesToRead + constant);
    }
    if (timeouts.ReadIntervalTimeout != MAXDWORD) {
        job.intervalMs = timeouts.ReadIntervalTimeout;
    }
    return transferBytes(job, bytesRead);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    int fd = -1;
    COMMTIMEOUTS timeouts{};
    if (portForTransfer(file, fd, timeouts) == nullptr) {
        return FALSE;
    }
    if (overlapped != nullptr || (buffer == nullptr && bytesToWrite != 0)) {
        return hostFailWith(ERROR_INVALID_PARAMETER);
    }
    // Zero totals mean no time-out: the call returns when every byte has been taken.
    const Transfer job{
        fd,
        nullptr,
        static_cast<const uint8_t*>(buffer),
        bytesToWrite,
        false,
        false,
        deadlineAfter(static_cast<uint64_t>(timeouts.WriteTotalTimeoutMultiplier) * bytesToWrite +
                      timeouts.WriteTotalTimeoutConstant),
        0,
    };
    return transferBytes(job, bytesWritten);
}
