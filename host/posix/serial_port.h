// What the POSIX serial-port sources share: the open port behind a handle, failing with a Windows
// error, the DCB's mapping to termios and the modem-control lines.
#pragma once

#include <termios.h>

#include "host_objects.h"

// The open port behind a handle, with its descriptor; sets ERROR_INVALID_HANDLE otherwise.
HostObject* hostPortFind(HANDLE file, int& fd);
// Set the last error and return FALSE.
BOOL hostFailWith(DWORD error);
BOOL hostFailWithErrno();

// The DCB that a tty's settings stand for.
DCB hostDcbFromTermios(const termios& settings);
// Raw mode with the DCB's framing and flow control; false for what this layer cannot honour.
bool hostTermiosFromDcb(const DCB& dcb, termios& settings);

// Devices without modem-control lines (pseudo-terminals) refuse; callers ignore that.
bool hostSetModemLine(int fd, int line, bool on);
