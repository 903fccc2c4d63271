// The byte streams a program can offer the IrCOMM channel on: a raw pseudo-terminal (POSIX) or
// the standard input and output, read and written with time-outs; and the stop signals.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr size_t HOST_PATH_SIZE = 256;

// hostStreamRead's results other than a count.
constexpr int HOST_STREAM_END = -1;
constexpr int HOST_STREAM_FAILED = -2;

enum class HostStreamKind : uint8_t { standard, pty, serial };

struct HostStream {
    HostStreamKind kind = HostStreamKind::standard;
    int input = -1;
    int output = -1;
    // Our own descriptor of the pseudo-terminal's device side: while it is open, a client that
    // closes the device leaves the stream working for the next one.
    int deviceKeeper = -1;
    std::array<char, HOST_PATH_SIZE> devicePath{};
    std::array<char, HOST_PATH_SIZE> linkPath{};
    // A second serial port's handle (hostSerialStreamOpen), else nullptr; and its read wait.
    void* serial = nullptr;
    int serialWaitMs = -1;
    // Why the last read or write failed, as a Win32 error number.
    unsigned long error = 0;
};

// False where reads cannot time out (Windows' standard input): a reader blocked in
// hostStreamRead then ends only with the program.
extern const bool HOST_READ_TIMES_OUT;

// Opens a pseudo-terminal in raw mode; its device path is in devicePath. False (errno set) when
// the host has none.
bool hostPtyOpen(HostStream& stream);
// The standard input and output, in binary mode.
void hostStdioOpen(HostStream& stream);
// A serial port by its user's name ("COMn" or a path), raw, for the channel's bytes; its name is
// in devicePath. 0, or the Win32 error number why it did not open.
unsigned long hostSerialStreamOpen(HostStream& stream, const char* port);

enum class HostLinkResult : uint8_t { made, taken, failed };
// Makes `path` a symbolic link to the device, replacing an older symbolic link but nothing else.
HostLinkResult hostPtyLink(HostStream& stream, const char* path);
// Removes the link (if it still points at our device) and closes the descriptors.
void hostStreamClose(HostStream& stream);
// After a failure: the same serial port opened again, or a new pseudo-terminal behind the same
// link. 0, or the Win32 error number why not (the standard streams cannot be reopened).
unsigned long hostStreamReopen(HostStream& stream);

// Bytes read (at most `maximum`), 0 when none came within timeoutMs, HOST_STREAM_END at the end of
// input, HOST_STREAM_FAILED (why in `error`) when the device failed.
int hostStreamRead(HostStream& stream, uint8_t* buffer, size_t maximum, int timeoutMs);
// True when a byte can be written now or becomes writable within timeoutMs.
bool hostStreamWritable(HostStream& stream, int timeoutMs);
// Writes all of it, waiting for room; returns the bytes written, fewer when `stop` is set first
// or the output failed (why in `error`; 0 there for standard output that has gone).
size_t hostStreamWrite(HostStream& stream, const uint8_t* data, size_t length,
                       const std::atomic<bool>& stop);

// SIGINT and SIGTERM set `flag` (which must stay alive) instead of ending the program.
void hostCatchStopSignals(std::atomic<bool>* flag);
