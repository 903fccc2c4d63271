// The Win32 serial, thread and time calls the programs use, rebuilt on termios, ioctl, flock,
// POSIX threads and the monotonic clock. Same names, types, values and error numbers as Windows.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = unsigned int;
using MMRESULT = UINT;
using BOOL = int;
using CHAR = char;
using SIZE_T = uintptr_t;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using LPCSTR = const char*;
using HANDLE = void*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define WINAPI

// A handle no object ever has; distinct from NULL, which CreateThread returns on failure.
inline char hostInvalidHandleTag = 0;
#define INVALID_HANDLE_VALUE (static_cast<HANDLE>(&hostInvalidHandleTag))

constexpr DWORD MAXDWORD = 0xFFFFFFFFU;
constexpr DWORD INFINITE = 0xFFFFFFFFU;

// Error numbers as Windows reports them.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_BAD_COMMAND = 22;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_DEVICE_REMOVED = 1617;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Only non-overlapped I/O exists here; a non-null OVERLAPPED is refused.
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

constexpr DWORD GENERIC_READ = 0x80000000U;
constexpr DWORD GENERIC_WRITE = 0x40000000U;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

constexpr DWORD PURGE_TXABORT = 0x01;
constexpr DWORD PURGE_RXABORT = 0x02;
constexpr DWORD PURGE_TXCLEAR = 0x04;
constexpr DWORD PURGE_RXCLEAR = 0x08;

constexpr DWORD SETXOFF = 1;
constexpr DWORD SETXON = 2;
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;
constexpr DWORD SETBREAK = 8;
constexpr DWORD CLRBREAK = 9;

constexpr DWORD MS_CTS_ON = 0x10;
constexpr DWORD MS_DSR_ON = 0x20;
constexpr DWORD MS_RING_ON = 0x40;
constexpr DWORD MS_RLSD_ON = 0x80;

constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;

constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_TOGGLE = 3;

// Same layout as Windows, 28 bytes.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
using LPDCB = DCB*;
static_assert(sizeof(DCB) == 28);

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
using LPCOMSTAT = COMSTAT*;

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

// Ports and threads a process holds at once; past it CreateFileA and CreateThread fail with
// ERROR_NOT_ENOUGH_MEMORY.
constexpr size_t HOST_HANDLES_MAX = 96;

DWORD GetLastError();
// Also sets the errno value hostSystemError gives to the one closest to `error`.
void SetLastError(DWORD error);
// Sets both numbers: the Win32 one and the errno value it came from.
void hostSetLastErrors(DWORD error, int systemError);

// Serial ports. Opening with share mode 0 is exclusive, also against other processes and root.
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL CloseHandle(HANDLE object);
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL GetCommState(HANDLE file, LPDCB dcb);
BOOL SetCommState(HANDLE file, LPDCB dcb);
BOOL SetCommMask(HANDLE file, DWORD eventMask);
BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
BOOL EscapeCommFunction(HANDLE file, DWORD function);
BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus);

// Threads and time. Closing a thread's handle leaves the thread running, as on Windows.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES threadAttributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);
// Threads only: WAIT_OBJECT_0 once the thread has ended, WAIT_TIMEOUT when it runs on.
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFU;
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
void Sleep(DWORD milliseconds);
DWORD GetTickCount();
// The timer here is always fine-grained: accepted and nothing to do.
constexpr MMRESULT TIMERR_NOERROR = 0;
MMRESULT timeBeginPeriod(UINT period);
