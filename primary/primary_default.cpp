// The one station behind the demo programs' calls, over irphy's default port.
#include "console.h"
#include "irphy.h"
#include "primary.h"

namespace primary {

namespace {

// The station alone: its port is irphy's default one, which the irphy_* calls also reach. Never
// destroyed: a demo program may end with the task still running.
union DefaultPrimary {
    DefaultPrimary() : station(irphyDefaultPort()) {}
    ~DefaultPrimary() {}
    DefaultPrimary(const DefaultPrimary&) = delete;
    DefaultPrimary& operator=(const DefaultPrimary&) = delete;
    DefaultPrimary(DefaultPrimary&&) = delete;
    DefaultPrimary& operator=(DefaultPrimary&&) = delete;
    PrimaryStation station;
};

DefaultPrimary defaultPrimary;

PrimaryStation& station() {
    return defaultPrimary.station;
}

} // namespace

PrimaryStation& primaryDefault() {
    return station();
}

void primarySetOffer(const LapOffer& offer) {
    station().setOffer(offer);
}

void primaryInit() {
    station().init();
}

uint8_t primaryIsIdle() {
    return station().state() == PRIMARY_START_DELAY ? 1 : 0;
}

uint8_t primaryIsConnecting() {
    const uint8_t state = station().state();
    return state >= PRIMARY_DISCOVERY && state <= PRIMARY_COMM_OPEN ? 1 : 0;
}

uint8_t primaryIsConnected() {
    return station().state() == PRIMARY_CONNECTED ? 1 : 0;
}

void primarySend(const uint8_t* data, uint8_t length) {
    station().connection().send(data, length);
}

uint8_t primaryReceive(uint8_t* buffer) {
    return static_cast<uint8_t>(station().connection().receive(buffer, PRIMARY_RECEIVE_SIZE - 1));
}

void primaryDiscardReceived() {
    station().connection().discardReceived();
}

LapConnection& primaryConnection() {
    return station().connection();
}

IrErr primaryLastError() {
    return station().lastError();
}

IrErr primarySetService(const char* className, const char* attribute, int lsap, bool raw) {
    return station().setService(className, attribute, lsap, raw);
}

void primarySetDiscoverOnly(bool on) {
    station().setDiscoverOnly(on);
}

bool primaryDiscovered(uint8_t index, LapDiscovered& device) {
    return station().discovered(index, device);
}

void startStackTask() {
    station().startTask();
}

void stopStackTask() {
    station().stopTask();
}

std::atomic<bool>& primaryTaskRunning() {
    return station().runFlag();
}

} // namespace primary
