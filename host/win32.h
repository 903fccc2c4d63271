// The one place code above the host layer gets its Win32 names from: the real API on Windows,
// our own POSIX layer with the same names, types and meaning everywhere else.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// timeBeginPeriod, which the lean header leaves out.
#include <mmsystem.h>
#else
#include "posix/win32_posix.h"
#endif

#include <cstddef>

// Turns a user's port name into the name CreateFileA opens. "COMn" is the n-th serial port
// (on Windows with the device-namespace prefix, so COM10 and up work; elsewhere /dev/ttyS(n-1));
// any other name is used as it stands. Returns false, with an empty result, when it does not fit.
bool hostPortName(const char* name, char* out, size_t size);
// The system's own number for the last failure of a host call: errno on POSIX (our layer keeps it
// beside the Win32 number GetLastError gives), GetLastError itself on Windows.
DWORD hostSystemError();
// True when a port's open failed with `systemError` because another holder has it.
bool hostSystemErrorIsBusy(DWORD systemError);
