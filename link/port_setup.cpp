#include "port_setup.h"

#include <array>

#include "console.h"
#include "ir_options.h"
#include "port_health.h"
#include "raw_dcb.h"

namespace {

constexpr DWORD PORT_QUEUE_SIZE = 4096;
constexpr DWORD PORT_PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Called on every failure only, so a port that has gone is noted wherever it shows.
int errorNumber(PortHealth& health) {
    const DWORD error = GetLastError();
    const DWORD systemError = hostSystemError();
    portHealthReport(health, error, systemError);
    return static_cast<int>(error);
}

// Queues, purge, time-outs and the current DCB; the results are not looked at.
void prepare(HANDLE handle, DCB& dcb, COMMTIMEOUTS& timeouts) {
    SetupComm(handle, PORT_QUEUE_SIZE, PORT_QUEUE_SIZE);
    PurgeComm(handle, PORT_PURGE_ALL);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(handle, &timeouts);
    dcb.DCBlength = sizeof(DCB);
    GetCommState(handle, &dcb);
}

} // namespace

HANDLE portSetupOpen(const char* name) {
    std::array<char, PORT_NAME_SIZE> path{};
    // A name too long to map opens "" and fails with the host's "not found".
    hostPortName(name, path.data(), path.size());
    return CreateFileA(path.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE portSetupOpenDevice(const char* name) {
    const HANDLE handle = portSetupOpen(name);
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (handle != INVALID_HANDLE_VALUE && GetCommState(handle, &dcb) == FALSE) {
        CloseHandle(handle);
        SetLastError(ERROR_INVALID_FUNCTION);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

void portSetupFields(DCB& dcb, uint32_t speed, bool linesRaised) {
    hostRawDcb(dcb, speed);
    // Windows sets the lines from these at every SetCommState, a speed change included.
    dcb.fDtrControl = linesRaised ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = linesRaised ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
}

bool portSetupTakesSpeed(HANDLE handle, uint32_t speed, bool linesRaised) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (GetCommState(handle, &dcb) == FALSE) {
        return false;
    }
    portSetupFields(dcb, speed, linesRaised);
    return SetCommState(handle, &dcb) != FALSE;
}

PortOpening portSetupOpenAt(const char* name, uint32_t speed, DCB& dcb, COMMTIMEOUTS& timeouts,
                            const char* who, PortHealth& health, bool linesRaised) {
    const HANDLE handle = portSetupOpen(name);
    if (handle == INVALID_HANDLE_VALUE) {
        consoleError("%s: CreateFile error: %d", who, errorNumber(health));
        return {handle, false};
    }
    return {handle, portSetupConfigure(handle, speed, dcb, timeouts, who, health, linesRaised)};
}

bool portSetupConfigure(HANDLE handle, uint32_t speed, DCB& dcb, COMMTIMEOUTS& timeouts,
                        const char* who, PortHealth& health, bool linesRaised) {
    prepare(handle, dcb, timeouts);
    portSetupFields(dcb, speed, linesRaised);
    if (SetCommState(handle, &dcb) == FALSE) {
        consoleError("%s: SetCommState error: %d", who, errorNumber(health));
        return false;
    }
    return true;
}

void portSetupClose(HANDLE handle) {
    SetCommMask(handle, 0);
    PurgeComm(handle, PORT_PURGE_ALL);
    CloseHandle(handle);
}

void portSetupReadWait(HANDLE handle, COMMTIMEOUTS& timeouts, DWORD waitMs) {
    const DWORD multiplier = waitMs == 0 ? 0 : MAXDWORD;
    if (timeouts.ReadTotalTimeoutConstant == waitMs &&
        timeouts.ReadTotalTimeoutMultiplier == multiplier) {
        return;
    }
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = multiplier;
    timeouts.ReadTotalTimeoutConstant = waitMs;
    SetCommTimeouts(handle, &timeouts);
}

void portSetupWrite(HANDLE handle, const uint8_t* bytes, DWORD count, const char* who,
                    PortHealth& health) {
    DWORD written = 0;
    if (WriteFile(handle, bytes, count, &written, nullptr) == FALSE) {
        consoleError("%s: WriteFile error: %d", who, errorNumber(health));
    } else if (written < count) {
        consoleError("%s: WriteFile incomplete: %d missed: %d", who, errorNumber(health),
                     static_cast<int>(count - written));
    }
}
