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

bool portHealthReport(PortHealth& health, DWORD error) {
    if (!portHealthIsGone(error)) {
        return false;
    }
    DWORD none = 0;
    health.lostError.compare_exchange_strong(none, error);
    return true;
}
