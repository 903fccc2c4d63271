// The demo and pty programs' names, each over the one default station on the platform's UART.
#include "platform.h"
#include "secondary.h"

namespace secondary {

namespace {

// The station and its port together, so neither outlives the other.
struct DefaultStation {
    PlatformUartPort port;
    SecondaryStation station{port};
};

SecondaryStation& station() {
    static DefaultStation instance;
    return instance.station;
}

} // namespace

SecondaryStation& secondaryDefault() {
    return station();
}

void secondaryInit() {
    // The full profile's frames follow each other closely: a frame's end is seen sooner.
    platformSetRxGather(station().paced() ? PLATFORM_RX_GATHER_FULL_MS : PLATFORM_RX_GATHER_MS);
    station().init();
}

DWORD WINAPI stackTask(LPVOID parameter) {
    auto* const given = static_cast<SecondaryStation*>(parameter);
    return (given != nullptr ? *given : station()).runTask();
}

} // namespace secondary
