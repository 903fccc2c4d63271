// A second serial port as the channel's stream, such as one end of a virtual null-modem pair for
// a program that only knows serial ports. Reads wait up to their time-out for a first byte; writes
// wait for room in short slices so that a stop is seen. A failure is the caller's to show and
// follow: a port that fails at once must not be read again in a tight loop.
#include "serial_stream.h"

#include <array>
#include <cstdio>

#include "raw_dcb.h"
#include "win32.h"

namespace {

// "\\.\COMn" or any device path a user gives.
constexpr size_t PORT_PATH_SIZE = 280;
constexpr DWORD STREAM_SPEED = 115200;
constexpr DWORD WRITE_SLICE_MS = 100;

HANDLE portOf(const HostStream& stream) {
    return static_cast<HANDLE>(stream.serial);
}

} // namespace

unsigned long hostSerialStreamOpen(HostStream& stream, const char* port) {
    std::array<char, PORT_PATH_SIZE> path{};
    if (!hostPortName(port, path.data(), path.size())) {
        return ERROR_FILE_NOT_FOUND;
    }
    const HANDLE handle = CreateFileA(path.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    GetCommState(handle, &dcb);
    // Raw bytes and no hardware flow control: the far end of a virtual pair may drive no lines.
    hostRawDcb(dcb, STREAM_SPEED);
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 1, 0, WRITE_SLICE_MS};
    if (SetCommState(handle, &dcb) == FALSE || SetCommTimeouts(handle, &timeouts) == FALSE) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return error;
    }
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    stream.kind = HostStreamKind::serial;
    stream.serial = handle;
    stream.serialWaitMs = 1;
    stream.error = 0;
    std::snprintf(stream.devicePath.data(), stream.devicePath.size(), "%s", port);
    return ERROR_SUCCESS;
}

void hostSerialStreamClose(HostStream& stream) {
    CloseHandle(portOf(stream));
    stream.serial = nullptr;
}

unsigned long hostSerialStreamReopen(HostStream& stream) {
    if (stream.serial != nullptr) {
        hostSerialStreamClose(stream);
    }
    const std::array<char, HOST_PATH_SIZE> port = stream.devicePath;
    return hostSerialStreamOpen(stream, port.data());
}

int hostSerialStreamRead(HostStream& stream, uint8_t* buffer, size_t maximum, int timeoutMs) {
    const HANDLE handle = portOf(stream);
    const DWORD waitMs = timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : 1;
    if (stream.serialWaitMs != static_cast<int>(waitMs)) {
        // What has come at once, else the first byte within the wait.
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, waitMs, 0, WRITE_SLICE_MS};
        SetCommTimeouts(handle, &timeouts);
        stream.serialWaitMs = static_cast<int>(waitMs);
    }
    DWORD received = 0;
    if (ReadFile(handle, buffer, static_cast<DWORD>(maximum), &received, nullptr) == FALSE) {
        stream.error = GetLastError();
        return HOST_STREAM_FAILED;
    }
    return static_cast<int>(received <= maximum ? received : 0);
}

size_t hostSerialStreamWrite(HostStream& stream, const uint8_t* data, size_t length,
                             const std::atomic<bool>& stop) {
    size_t written = 0;
    while (written < length && !stop.load()) {
        DWORD count = 0;
        const BOOL done = WriteFile(portOf(stream), data + written,
                                    static_cast<DWORD>(length - written), &count, nullptr);
        written += count;
        if (done == FALSE) {
            stream.error = GetLastError();
            break;
        }
    }
    return written;
}
