// Whether the transceiver's port is still there: the port code reports its failures, and a
// program watching for a removed device (an unplugged USB dongle) asks here.
#pragma once

#include <cstdint>

#include "win32.h"

// True for the errors a port gives once its device has gone: on POSIX a hung-up or vanished
// terminal (EIO, ENXIO, ENODEV, the path missing), on Windows those of a removed USB port.
bool portHealthIsGone(DWORD error);
// A failed port operation: the first error meaning the device is gone is kept.
void portHealthReport(DWORD error);
// The kept error, 0 while the port is well.
DWORD portHealthLostError();
// After the port has been opened afresh.
void portHealthClear();
