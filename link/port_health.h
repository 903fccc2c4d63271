// Whether a port is still there: its code notes each failure in the port's own health record, and
// a program watching for a removed device (an unplugged USB dongle) asks the port.
#pragma once

#include <atomic>
#include <cstdint>

#include "win32.h"

// True for the errors a port gives once its device has gone: on POSIX a hung-up or vanished
// terminal (EIO, ENXIO, ENODEV, the path missing), on Windows those of a removed USB port.
bool portHealthIsGone(DWORD error);

// One port's health: the first error that showed its device gone, 0 while it is well, as a Win32
// number and as the system's own (hostSystemError).
struct PortHealth {
    std::atomic<DWORD> lostError{0};
    std::atomic<DWORD> lostSystemError{0};
};

// A failed port operation: the first error meaning the device is gone is kept; true when this one
// does.
bool portHealthReport(PortHealth& health, DWORD error, DWORD systemError);
// After the port has been opened afresh.
inline void portHealthClear(PortHealth& health) {
    health.lostSystemError.store(0);
    health.lostError.store(0);
}
