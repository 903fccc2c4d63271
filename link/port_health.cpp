#include "port_health.h"

bool portHealthIsGone(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED: // a removed USB port's handle on Windows
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return true;
    default:
        return false;
    }
}

bool portHealthReport(PortHealth& health, DWORD error, DWORD systemError) {
    if (!portHealthIsGone(error)) {
        return false;
    }
    // The system's number first, so it is there by the time lostError shows.
    DWORD none = 0;
    if (health.lostError.load() == 0) {
        health.lostSystemError.store(systemError);
    }
    health.lostError.compare_exchange_strong(none, error);
    return true;
}
