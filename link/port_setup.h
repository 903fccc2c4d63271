// The one open-and-configure path of both port forms (irphy and SerialCommsPort): exclusive open,
// 4096-byte queues, reads that return at once, writes that wait, 8N1 without flow control, DTR and
// RTS left to the program; and the close, read wait and write they share.
#pragma once

#include <cstdint>

#include "port_health.h"
#include "win32.h"

// Opens the port named as the user names it ("COM1", or a device path) for reading and writing.
HANDLE portSetupOpen(const char* name);
// As portSetupOpen, and refuses what is not a serial device (a file, /dev/null) with
// ERROR_INVALID_FUNCTION.
HANDLE portSetupOpenDevice(const char* name);
// The DCB fields of the configuration at `speed`, DTR and RTS low unless `linesRaised`; all
// others stay as read.
void portSetupFields(DCB& dcb, uint32_t speed, bool linesRaised = false);
// Whether the device takes `speed`: tried through the host layer with the configuration's other
// fields, so a driver that keeps its own speed is found out as one that refuses.
bool portSetupTakesSpeed(HANDLE handle, uint32_t speed, bool linesRaised);

struct PortOpening {
    HANDLE handle; // INVALID_HANDLE_VALUE when the open failed
    bool configured;
};
// Opens the port and configures it at `speed`; a failure is printed under `who`. A port whose
// configuration failed stays open.
PortOpening portSetupOpenAt(const char* name, uint32_t speed, DCB& dcb, COMMTIMEOUTS& timeouts,
                            const char* who, PortHealth& health, bool linesRaised = false);
// The same configuration of a port already open; false, printed under `who`, when it failed.
bool portSetupConfigure(HANDLE handle, uint32_t speed, DCB& dcb, COMMTIMEOUTS& timeouts,
                        const char* who, PortHealth& health, bool linesRaised = false);
void portSetupClose(HANDLE handle);
// Reads return at once with what has arrived, or, when nothing has, wait up to `waitMs` for the
// first byte (0: never wait). Asks the port only when the wait changes.
void portSetupReadWait(HANDLE handle, COMMTIMEOUTS& timeouts, DWORD waitMs);
// One write; a failure or a short write is printed under `who`.
void portSetupWrite(HANDLE handle, const uint8_t* bytes, DWORD count, const char* who,
                    PortHealth& health);
