// Platform timing and host binding: start-up, the UART's port and its speed, the secondary's
// ByteLink, the transceiver lines and delays. The receive side is platform_rx.cpp.
#include "platform.h"

#include <array>
#include <atomic>

#include "platform_internal.h"
#include "port_health.h"
#include "serial_comms_port.h"
#include "transceiver.h"

namespace {

SerialCommsPort uartPort{};
// The port's speed, set by the task thread and read by the receive thread for its pacing.
std::atomic<uint32_t> uartSpeed{PLATFORM_UART_BAUD};
// The task thread's alone: when the last frame went to the port.
uint32_t lastTxTick = 0;
uint32_t lastTxCount = 0;
constexpr uint32_t BITS_PER_BYTE = 10;
std::array<char, PORT_NAME_SIZE> portName{"COM1"};

// The port's first failure since the engine last looked: the receive thread's or a write's.
std::atomic<IrErr> portError{IR_OK};

std::atomic<const PlatformTiming*> timing{nullptr};
std::atomic<const PlatformPortHooks*> portHooks{nullptr};

uint32_t hostTick() {
    return GetTickCount();
}
void hostSleep(uint32_t milliseconds) {
    Sleep(milliseconds);
}
constexpr PlatformTiming HOST_TIMING = {hostTick, hostSleep, platformRxWait};

// Before platformInitWin32 builds it the port counts as closed.
bool uartBuilt() {
    return uartPort.ops.isOpen != nullptr;
}

} // namespace

void platformNotePortError(IrErr error) {
    IrErr none = IR_OK;
    portError.compare_exchange_strong(none, error);
}

const PlatformTiming& platformClock() {
    const PlatformTiming* bound = timing.load(std::memory_order_acquire);
    return bound != nullptr ? *bound : HOST_TIMING;
}

bool platformUartIsOpen() {
    return uartBuilt() && uartPort.ops.isOpen(&uartPort) != 0;
}

uint32_t platformUartSpeed() {
    return uartSpeed.load();
}

uint32_t platformUartReceive(uint8_t* buffer, uint32_t maximum) {
    const PlatformPortHooks* hooks = portHooks.load(std::memory_order_acquire);
    if (hooks != nullptr) {
        return hooks->receive(buffer, maximum);
    }
    if (!uartBuilt()) {
        return 0;
    }
    const int32_t received = uartPort.ops.receiveBlock(&uartPort, buffer, maximum);
    if (received < 0) {
        platformNotePortError(IR_ERR_IO);
    }
    return received > 0 ? static_cast<uint32_t>(received) : 0;
}

namespace {

void notePortGone() {
    if (platformPortLostError() != 0) {
        platformNotePortError(IR_ERR_PORT_LOST);
    }
}

void uartTransmit(const uint8_t* bytes, uint32_t count) {
    lastTxTick = platformClock().tickCount();
    lastTxCount = count;
    const PlatformPortHooks* hooks = portHooks.load(std::memory_order_acquire);
    if (hooks != nullptr) {
        hooks->transmit(bytes, count);
        return;
    }
    if (uartBuilt()) {
        uartPort.ops.transmitBlock(&uartPort, bytes, count);
        notePortGone();
    }
}

bool transceiverPortIsOpen(void* /*context*/) {
    return platformUartIsOpen();
}
void transceiverDtr(void* /*context*/, uint8_t level) {
    platformSetDtr(level);
}
void transceiverRts(void* /*context*/, uint8_t level) {
    platformSetRts(level);
}
void transceiverDelay(void* /*context*/, uint8_t milliseconds) {
    platformDelayMs(milliseconds);
}

constexpr TransceiverBinding TRANSCEIVER_BINDING = {nullptr, transceiverPortIsOpen, transceiverDtr,
                                                    transceiverRts, transceiverDelay};

class UartLink final : public ByteLink {
  public:
    void sendByte(uint8_t byte) override { platformUartTxByte(byte); }
    // A frame in one write: a write per byte was most of the connected secondary's idle cost.
    void sendBytes(std::span<const uint8_t> bytes) override {
        uartTransmit(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    bool waitByte(uint16_t timeoutMs) override { return platformUartRxReady(timeoutMs) != 0; }
    uint8_t readByte() override { return platformUartRxByte(); }
    void pauseUs(uint32_t microseconds) override {
        platformClock().sleepMs((microseconds + 999) / 1000);
    }
    // The receiver's hunt for a frame is bounded on this clock, so noise cannot hold it.
    uint32_t nowMs() override { return platformClock().tickCount(); }
    IrErr takeError() override { return portError.exchange(IR_OK); }
};

UartLink uartLink;

} // namespace

void platformSetPortName(const char* name) {
    size_t i = 0;
    for (; name[i] != '\0' && i + 1 < portName.size(); ++i) {
        portName[i] = name[i];
    }
    portName[i] = '\0';
}

void platformInitBoard() {
    platformDisableInterrupts();
    platformRxReset();
    platformDisplayInit();
    platformEnableInterrupts();
    platformDopSet(5, 1);
    platformDopSet(4, 1);
}

void platformInit() {
    platformInitBoard();
    platformInitWin32();
}

void platformInitWin32() {
    uartSpeed.store(PLATFORM_UART_BAUD);
    portError.store(IR_OK);
    uartPort.ops.init = SerialCommsPort_init;
    uartPort.ops.init(&uartPort);
    // A failure is printed by the open.
    uartPort.ops.open(&uartPort, portName.data(), PLATFORM_UART_BAUD);
    SerialCommsPort_setReadWait(&uartPort, PLATFORM_RX_WAIT_MS);
    platformRxStart();
}

void platformStop() {
    platformRxJoin();
    if (uartBuilt()) {
        uartPort.ops.close(&uartPort);
    }
}

void platformUartTxByte(uint8_t byte) {
    uartTransmit(&byte, 1);
}

IrErr platformUartSetSpeed(uint32_t speed) {
    // The port would cut off what it still holds at the old speed.
    const uint32_t wireMs = lastTxCount * BITS_PER_BYTE * 1000 / uartSpeed.load() + 1;
    const uint32_t since = platformClock().tickCount() - lastTxTick;
    if (since < wireMs) {
        platformClock().sleepMs(wireMs - since);
    }
    if (!platformUartIsOpen()) {
        return platformPortLostError() != 0 ? IR_ERR_PORT_LOST : IR_ERR_IO;
    }
    if (SerialCommsPort_setSpeed(&uartPort, speed) == 0) {
        return IR_ERR_SPEED;
    }
    uartSpeed.store(speed);
    transceiverSetSpeed(TRANSCEIVER_BINDING, speed);
    return IR_OK;
}

IrErr PlatformUartPort::reset() {
    transceiverStart(TRANSCEIVER_BINDING);
    return IR_OK;
}

const TransceiverBinding& platformTransceiverLines() {
    return TRANSCEIVER_BINDING;
}

DWORD platformPortLostError() {
    return uartPort.health.lostError.load();
}

ByteLink& platformUartLink() {
    return uartLink;
}

void platformSetDtr(uint8_t level) {
    if (uartBuilt()) {
        uartPort.ops.setDtr(&uartPort, level);
    }
}

void platformSetRts(uint8_t level) {
    if (uartBuilt()) {
        uartPort.ops.setRts(&uartPort, level);
    }
}

void platformDelayMs(uint8_t milliseconds) {
    platformClock().sleepMs(milliseconds);
}

uint32_t platformTickCount() {
    return platformClock().tickCount();
}

void platformSetTiming(const PlatformTiming* bound) {
    timing.store(bound, std::memory_order_release);
}

void platformSetPortHooks(const PlatformPortHooks* hooks) {
    portHooks.store(hooks, std::memory_order_release);
}
