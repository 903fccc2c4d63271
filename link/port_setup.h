// The port configuration both port forms use: exclusive open, 4096-byte queues, reads that return
// at once, writes that wait, 8N1 without flow control, DTR and RTS left to the program.
#pragma once

#include <cstdint>

#include "win32.h"

// Opens the port named as the user names it ("COM1", or a device path) for reading and writing.
HANDLE portSetupOpen(const char* name);
// Queues, purge, time-outs and the current DCB; the results are not looked at.
void portSetupPrepare(HANDLE handle, DCB& dcb, COMMTIMEOUTS& timeouts);
// The DCB fields of the configuration at `speed`; all others stay as read.
void portSetupFields(DCB& dcb, uint32_t speed);

constexpr DWORD PORT_PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
