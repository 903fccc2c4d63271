// irphy: the primary station's port, held in module variables.
#include "irphy.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include "console.h"
#include "ir_options.h"
#include "port_health.h"
#include "port_setup.h"

namespace {

constexpr uint32_t IRPHY_START_SPEED = 9600;
constexpr uint8_t RX_IDLE = 1;
constexpr uint8_t RX_HELD = 2;

// The task thread owns the port after start-up; the first reset runs before the task exists.
std::atomic<HANDLE> portHandle{INVALID_HANDLE_VALUE};
DCB portDcb{};
COMMTIMEOUTS portTimeouts{};
std::atomic<uint8_t> rxState{0};
std::atomic<uint8_t> heldByte{0};
std::array<char, PORT_NAME_SIZE> portName{'C', 'O', 'M', '1'};
// A lost port not yet reported to the station.
std::atomic<bool> lostUnreported{false};

// Called on every failure only, so a port that has gone is noted wherever it shows.
int errorNumber() {
    const DWORD error = GetLastError();
    portHealthReport(error);
    if (portHealthIsGone(error)) {
        lostUnreported.store(true);
    }
    return static_cast<int>(error);
}

// The flags are dropped; the status is not asked for, which spares a query per byte.
void clearCommError(HANDLE handle) {
    DWORD errors = 0;
    ClearCommError(handle, &errors, nullptr);
}

bool bindingPortIsOpen(void* /*context*/) {
    return portHandle.load() != INVALID_HANDLE_VALUE;
}

void bindingSetDtr(void* /*context*/, uint8_t level) {
    EscapeCommFunction(portHandle.load(), level != 0 ? SETDTR : CLRDTR);
}

void bindingSetRts(void* /*context*/, uint8_t level) {
    EscapeCommFunction(portHandle.load(), level != 0 ? SETRTS : CLRRTS);
}

void bindingDelayMs(void* /*context*/, uint8_t milliseconds) {
    Sleep(milliseconds);
}

// A frame goes in one write: one write per byte cost more than anything else in sending.
void writePort(const uint8_t* bytes, DWORD count) {
    const HANDLE handle = portHandle.load();
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    clearCommError(handle);
    portSetupWrite(handle, bytes, count, "irphy_send");
}

constexpr TransceiverBinding IRPHY_BINDING{nullptr, bindingPortIsOpen, bindingSetDtr, bindingSetRts,
                                           bindingDelayMs};

class IrphyByteLink final : public ByteLink {
  public:
    void sendByte(uint8_t byte) override { irphy_send(byte); }
    void sendBytes(std::span<const uint8_t> bytes) override {
        writePort(bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    bool waitByte(uint16_t timeoutMs) override {
        return irphy_wait(static_cast<int16_t>(std::min<uint16_t>(timeoutMs, INT16_MAX)));
    }
    uint8_t readByte() override { return irphy_read(); }
    void pauseUs(uint32_t microseconds) override { Sleep((microseconds + 999) / 1000); }
    uint32_t nowMs() override { return GetTickCount(); }
    IrErr takeError() override { return lostUnreported.exchange(false) ? IR_ERR_PORT_LOST : IR_OK; }
};

IrphyByteLink byteLink;
std::atomic<const TransceiverBinding*> linesOverride{nullptr};

const TransceiverBinding& lines() {
    const TransceiverBinding* bound = linesOverride.load();
    return bound != nullptr ? *bound : IRPHY_BINDING;
}

} // namespace

bool irphy_set_port_name(const char* name) {
    if (name == nullptr || std::strlen(name) >= portName.size()) {
        return false;
    }
    portName.fill('\0');
    std::memcpy(portName.data(), name, std::strlen(name));
    return true;
}

void irphySetLines(const TransceiverBinding* binding) {
    linesOverride.store(binding);
}

const TransceiverBinding* irphyTransceiverBinding() {
    return &IRPHY_BINDING;
}

ByteLink& irphyByteLink() {
    return byteLink;
}

IrErr irphy_reset() {
    if (portHandle.load() != INVALID_HANDLE_VALUE) {
        irphy_close();
    }
    lostUnreported.store(false);
    const PortOpening opening =
        portSetupOpenAt(portName.data(), IRPHY_START_SPEED, portDcb, portTimeouts, "irphy_reset");
    portHandle.store(opening.handle);
    if (!opening.configured) {
        return IR_ERR_IO;
    }
    transceiverReset(lines());
    const IrErr speed = irphy_set_baud_rate(IRPHY_START_SPEED);
    rxState.store(RX_IDLE);
    return speed;
}

int32_t irphy_close() {
    const HANDLE handle = portHandle.exchange(INVALID_HANDLE_VALUE);
    if (handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    portSetupClose(handle);
    return 1;
}

IrErr irphy_set_baud_rate(uint32_t speed) {
    const HANDLE handle = portHandle.load();
    clearCommError(handle);
    portDcb.DCBlength = sizeof(DCB);
    GetCommState(handle, &portDcb);
    // The flow-control fields read back are the ones irphy_reset set, so this changes the speed.
    portSetupFields(portDcb, speed);
    if (SetCommState(handle, &portDcb) == FALSE) {
        const int number = errorNumber();
        consoleError("\nirphy_set_baud_rate: SetCommState error: %d", number);
        return portHealthIsGone(static_cast<DWORD>(number)) ? IR_ERR_PORT_LOST : IR_ERR_SPEED;
    }
    transceiverSetSpeed(lines(), speed);
    return IR_OK;
}

void irphy_send(uint8_t byte) {
    writePort(&byte, 1);
}

bool irphy_wait(int16_t timeoutMs) {
    const HANDLE handle = portHandle.load();
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (rxState.load() == RX_HELD) {
        return true;
    }
    // A negative time-out looks once, like 0.
    portSetupReadWait(handle, portTimeouts, timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : 0);
    clearCommError(handle);
    uint8_t byte = 0;
    DWORD received = 0;
    if (ReadFile(handle, &byte, 1, &received, nullptr) == FALSE) {
        consoleError("irphy_wait: ReadFile error: %d", errorNumber());
        rxState.store(RX_IDLE);
        return false;
    }
    if (received == 1) {
        heldByte.store(byte);
        rxState.store(RX_HELD);
        return true;
    }
    rxState.store(RX_IDLE);
    return false;
}

uint8_t irphy_read() {
    irphy_wait(0);
    if (rxState.load() == RX_HELD) {
        rxState.store(RX_IDLE);
    }
    return heldByte.load();
}
