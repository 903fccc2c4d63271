// Shared configuration steps of SerialCommsPort and irphy.
#include "port_setup.h"

#include <array>

namespace {

constexpr DWORD PORT_QUEUE_SIZE = 4096;
// Long enough for "\\.\COMn" and for any device path a user gives.
constexpr size_t PORT_PATH_SIZE = 256;

} // namespace

HANDLE portSetupOpen(const char* name) {
    std::array<char, PORT_PATH_SIZE> path{};
    // A name too long to map opens "" and fails with the host's "not found".
    hostPortName(name, path.data(), path.size());
    return CreateFileA(path.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void portSetupPrepare(HANDLE handle, DCB& dcb, COMMTIMEOUTS& timeouts) {
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

void portSetupFields(DCB& dcb, uint32_t speed) {
    dcb.BaudRate = speed;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
}
