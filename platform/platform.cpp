// Platform timing and host binding: start-up, the UART receive ring fed by its own thread, the
// secondary's ByteLink, the transceiver lines and delays.
#include "platform.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "byte_queue.h"
#include "console.h"
#include "platform_internal.h"
#include "port_health.h"
#include "serial_comms_port.h"
#include "transceiver.h"

namespace {

constexpr uint32_t UART_BAUD = 9600;
constexpr uint32_t RX_WAIT_SLICE_MS = 1;

std::array<uint8_t, PLATFORM_RX_RING_SIZE> rxStorage{};
ByteQueue rxQueue{};
// Built before main, so the ring is ready whichever platform call comes first. The receive thread
// is its producer, the engine's thread its consumer.
ByteQueue* const rxRing = byteQueueInit(&rxQueue, rxStorage.data(), PLATFORM_RX_RING_SIZE);
// Wakes a reader waiting for the ring; the lock only orders the wait against the push.
struct RxSignal {
    std::mutex lock;
    std::condition_variable ready;
};
// Never destroyed: the receive thread is never stopped and may still signal while the program
// exits.
union LastingRxSignal {
    RxSignal signal;
    LastingRxSignal() : signal() {}
    ~LastingRxSignal() {}
    LastingRxSignal(const LastingRxSignal&) = delete;
    LastingRxSignal& operator=(const LastingRxSignal&) = delete;
};
LastingRxSignal rxSignalStore;
RxSignal& rxSignal = rxSignalStore.signal;
// The receive thread's alone: whether the bytes moved so far end inside a frame, and the
// chunk it reads into, with the XBOFs it holds back at its start.
bool rxInFrame = false;
std::array<uint8_t, PLATFORM_RX_CHUNK> rxChunk{};
uint32_t rxHeld = 0;

SerialCommsPort uartPort{};
// The port's speed, set by the task thread and read by the receive thread for its pacing.
std::atomic<uint32_t> uartSpeed{UART_BAUD};
std::atomic<uint32_t> rxGatherMs{PLATFORM_RX_GATHER_MS};
// The task thread's alone: when the last frame went to the port.
uint32_t lastTxTick = 0;
uint32_t lastTxCount = 0;
constexpr uint32_t BITS_PER_BYTE = 10;
std::array<char, PORT_NAME_SIZE> portName{"COM1"};
HANDLE rxThread = nullptr;
DWORD rxThreadId = 0;
std::atomic<bool> rxStopping{false};

// The port's first failure since the engine last looked: the receive thread's or a write's.
std::atomic<IrErr> portError{IR_OK};

std::atomic<const PlatformTiming*> timing{nullptr};
std::atomic<const PlatformPortHooks*> portHooks{nullptr};

void notePortError(IrErr error) {
    IrErr none = IR_OK;
    portError.compare_exchange_strong(none, error);
}

void notePortGone() {
    if (platformPortLostError() != 0) {
        notePortError(IR_ERR_PORT_LOST);
    }
}

bool rxRingEmpty() {
    return rxRing->isEmpty(rxRing) != 0;
}

uint32_t hostTick() {
    return GetTickCount();
}
void hostSleep(uint32_t milliseconds) {
    Sleep(milliseconds);
}
void hostWaitRx(uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(rxSignal.lock);
    rxSignal.ready.wait_for(lock, std::chrono::milliseconds(milliseconds),
                            [] { return !rxRingEmpty(); });
}
constexpr PlatformTiming HOST_TIMING = {hostTick, hostSleep, hostWaitRx};

const PlatformTiming& hostClock() {
    const PlatformTiming* bound = timing.load(std::memory_order_acquire);
    return bound != nullptr ? *bound : HOST_TIMING;
}

// Before platformInitWin32 builds it the port counts as closed.
bool uartBuilt() {
    return uartPort.ops.isOpen != nullptr;
}

bool uartIsOpen() {
    return uartBuilt() && uartPort.ops.isOpen(&uartPort) != 0;
}

uint32_t uartReceive(uint8_t* buffer, uint32_t maximum) {
    const PlatformPortHooks* hooks = portHooks.load(std::memory_order_acquire);
    if (hooks != nullptr) {
        return hooks->receive(buffer, maximum);
    }
    if (!uartBuilt()) {
        return 0;
    }
    const int32_t received = uartPort.ops.receiveBlock(&uartPort, buffer, maximum);
    if (received < 0) {
        notePortError(IR_ERR_IO);
    }
    return received > 0 ? static_cast<uint32_t>(received) : 0;
}

void uartTransmit(const uint8_t* bytes, uint32_t count) {
    lastTxTick = hostClock().tickCount();
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
    return uartIsOpen();
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
        hostClock().sleepMs((microseconds + 999) / 1000);
    }
    // The receiver's hunt for a frame is bounded on this clock, so noise cannot hold it.
    uint32_t nowMs() override { return hostClock().tickCount(); }
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

void platformRxReset() {
    rxRing->clear(rxRing);
    rxHeld = 0;
    rxInFrame = false;
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
    uartSpeed.store(UART_BAUD);
    portError.store(IR_OK);
    uartPort.ops.init = SerialCommsPort_init;
    uartPort.ops.init(&uartPort);
    uartPort.ops.open(&uartPort, portName.data(), UART_BAUD); // a failure is printed by the open
    SerialCommsPort_setReadWait(&uartPort, PLATFORM_RX_WAIT_MS);
    rxStopping.store(false);
    rxThread = CreateThread(nullptr, 0, platformRxThread, nullptr, 0, &rxThreadId);
    if (rxThread == nullptr) {
        consoleError("\nplatformInitWin32: CreateThread failed: %d",
                     static_cast<int>(GetLastError()));
    }
}

namespace {

// The gathering times are set for 9600 bit/s; a faster line fills the same bytes sooner. Rounded
// up, so a short frame is in whole after its preamble's wait rather than needing another pass.
uint32_t atLineSpeed(uint32_t milliseconds) {
    const uint32_t speed = uartSpeed.load();
    return (milliseconds * UART_BAUD + speed - 1) / speed;
}

} // namespace

void platformSetRxGather(uint32_t milliseconds) {
    rxGatherMs.store(milliseconds);
}

uint32_t platformRxPoll() {
    const uint32_t gatherMs = atLineSpeed(rxGatherMs.load());
    const uint32_t preambleMs = atLineSpeed(PLATFORM_RX_PREAMBLE_MS);
    const auto room = static_cast<uint32_t>(byteQueueRoom(rxRing));
    if (room == 0) {
        // Full: the bytes wait in the port until the reader makes room.
        return gatherMs;
    }
    // Held bytes were taken with room to spare, and only this thread fills the ring.
    const uint32_t wanted = room < rxChunk.size() ? room : static_cast<uint32_t>(rxChunk.size());
    const uint32_t received = uartReceive(rxChunk.data() + rxHeld, wanted - rxHeld);
    bool preamble = !rxInFrame && rxHeld == 0 && received > 0;
    for (uint32_t i = 0; i < received && preamble; ++i) {
        preamble = rxChunk[i] == SIR_XBOF;
    }
    if (preamble) {
        // Nobody needs a frame's XBOFs before its BOF: they go in with the bytes after them, so
        // a reader finds a short frame whole instead of waiting through it.
        rxHeld = received;
        return preambleMs;
    }
    const uint32_t count = rxHeld + received;
    rxHeld = 0;
    if (count == 0) {
        return 0;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (rxChunk[i] == SIR_BOF) {
            rxInFrame = true;
        } else if (rxChunk[i] == SIR_EOF) {
            rxInFrame = false;
        }
    }
    {
        // The chunk was sized to the room, so all of it goes in.
        const std::lock_guard<std::mutex> guard(rxSignal.lock);
        byteQueuePushAll(rxRing, std::span<const uint8_t>(rxChunk.data(), count));
    }
    rxSignal.ready.notify_one();
    // Only the pacing looks at the framing: after a frame's end the next pass may block, before
    // its BOF the receiver waits far longer for a byte than inside a frame.
    if (rxChunk[count - 1] == SIR_EOF) {
        return 0;
    }
    return rxInFrame ? gatherMs : preambleMs;
}

DWORD WINAPI platformRxThread(LPVOID /*parameter*/) {
    while (uartIsOpen() && !rxStopping.load()) {
        uint32_t gatherMs = platformRxPoll();
        if (platformPortLostError() != 0) {
            notePortError(IR_ERR_PORT_LOST);
            gatherMs = PLATFORM_RX_WAIT_MS; // a port that has gone fails at once: no spinning
        }
        if (gatherMs != 0) {
            hostClock().sleepMs(gatherMs);
        }
    }
    consolePrint("\n\tEOT");
    return 0;
}

void platformStop() {
    rxStopping.store(true);
    if (rxThread != nullptr) {
        WaitForSingleObject(rxThread, INFINITE);
        CloseHandle(rxThread);
        rxThread = nullptr;
    }
    if (uartBuilt()) {
        uartPort.ops.close(&uartPort);
    }
}

void platformUartTxByte(uint8_t byte) {
    uartTransmit(&byte, 1);
}

uint8_t platformUartRxReady(uint16_t waitMs) {
    if (!rxRingEmpty()) {
        return 1;
    }
    if (waitMs == 0) {
        return 0;
    }
    const PlatformTiming& host = hostClock();
    const uint32_t start = host.tickCount();
    for (;;) {
        const uint32_t waited = host.tickCount() - start;
        if (waited >= waitMs) {
            return 0;
        }
        if (host.waitRxMs != nullptr) {
            host.waitRxMs(waitMs - waited);
        } else {
            host.sleepMs(RX_WAIT_SLICE_MS);
        }
        if (!rxRingEmpty()) {
            return 1;
        }
    }
}

uint8_t platformUartRxByte() {
    return rxRing->pop(rxRing); // 0 when empty
}

IrErr platformUartSetSpeed(uint32_t speed) {
    // The port would cut off what it still holds at the old speed.
    const uint32_t wireMs = lastTxCount * BITS_PER_BYTE * 1000 / uartSpeed.load() + 1;
    const uint32_t since = hostClock().tickCount() - lastTxTick;
    if (since < wireMs) {
        hostClock().sleepMs(wireMs - since);
    }
    if (!uartIsOpen()) {
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
    hostClock().sleepMs(milliseconds);
}

uint32_t platformTickCount() {
    return hostClock().tickCount();
}

void platformSetTiming(const PlatformTiming* bound) {
    timing.store(bound, std::memory_order_release);
}

void platformSetPortHooks(const PlatformPortHooks* hooks) {
    portHooks.store(hooks, std::memory_order_release);
}
