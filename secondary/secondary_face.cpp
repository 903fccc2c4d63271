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

void secondaryStep() {
    station().step();
}

bool secondaryByteSeen() {
    return station().byteSeen();
}

bool secondaryPaced() {
    return station().paced();
}

void secondarySetOffer(const LapOffer& offer) {
    station().setOffer(offer);
}

void secondaryInit() {
    // The full profile's frames follow each other closely: a frame's end is seen sooner.
    platformSetRxGather(station().paced() ? PLATFORM_RX_GATHER_FULL_MS : PLATFORM_RX_GATHER_MS);
    station().init();
}

uint8_t secondaryIsIdle() {
    return station().state() == SEC_IDLE ? 1 : 0;
}

uint8_t secondaryIsConnecting() {
    const SecondaryState state = station().state();
    return state >= SEC_DISCOVERED && state <= SEC_TTP_CONNECTED ? 1 : 0;
}

uint8_t secondaryIsConnected() {
    return station().state() == SEC_IRCOMM_OPEN ? 1 : 0;
}

void secondarySend(const uint8_t* data, uint8_t length) {
    station().send(data, length);
}

bool secondaryTrySend(const uint8_t* data, uint8_t length) {
    return station().connection().trySend(data, length);
}

uint8_t secondaryReceive(uint8_t* buffer) {
    return static_cast<uint8_t>(station().connection().receive(buffer, SECONDARY_RECEIVE_SIZE - 1));
}

IrErr secondaryLastError() {
    return station().lastError();
}

LapConnection& secondaryConnection() {
    return station().connection();
}

IrErr secondarySetService(const char* className, const char* attribute, bool raw) {
    return station().setService(className, attribute, raw);
}

void secondarySetDemoAnswers(bool on) {
    station().setDemoAnswers(on);
}

void startStackTask() {
    station().startTask();
}

void stopStackTask() {
    station().stopTask();
}

std::atomic<bool>& secondaryTaskRunning() {
    return station().runFlag();
}

DWORD WINAPI stackTask(LPVOID parameter) {
    auto* const given = static_cast<SecondaryStation*>(parameter);
    return (given != nullptr ? *given : station()).runTask();
}

void secondaryTaskPass() {
    station().taskPass();
}

} // namespace secondary
