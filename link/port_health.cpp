#include "port_health.h"

#include <atomic>

namespace {

std::atomic<DWORD> lostError{0};

} // namespace

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

void portHealthReport(DWORD error) {
    if (!portHealthIsGone(error)) {
        return;
    }
    DWORD none = 0;
    lostError.compare_exchange_strong(none, error);
}

DWORD portHealthLostError() {
    return lostError.load();
}

void portHealthClear() {
    lostError.store(0);
}
