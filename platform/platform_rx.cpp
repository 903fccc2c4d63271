// The UART's receive side: the ring its own thread fills from the port, paced to let a frame's
// bytes gather, and the reads the secondary's ByteLink makes of it.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "byte_queue.h"
#include "console.h"
#include "platform.h"
#include "platform_internal.h"

namespace {

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

std::atomic<uint32_t> rxGatherMs{PLATFORM_RX_GATHER_MS};
HANDLE rxThread = nullptr;
DWORD rxThreadId = 0;
std::atomic<bool> rxStopping{false};

bool rxRingEmpty() {
    return rxRing->isEmpty(rxRing) != 0;
}

// The gathering times are set for 9600 bit/s; a faster line fills the same bytes sooner. Rounded
// up, so a short frame is in whole after its preamble's wait rather than needing another pass.
uint32_t atLineSpeed(uint32_t milliseconds) {
    const uint32_t speed = platformUartSpeed();
    return (milliseconds * PLATFORM_UART_BAUD + speed - 1) / speed;
}

} // namespace

void platformRxWait(uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(rxSignal.lock);
    rxSignal.ready.wait_for(lock, std::chrono::milliseconds(milliseconds),
                            [] { return !rxRingEmpty(); });
}

void platformRxStart() {
    rxStopping.store(false);
    rxThread = CreateThread(nullptr, 0, platformRxThread, nullptr, 0, &rxThreadId);
    if (rxThread == nullptr) {
        consoleError("\nplatformInitWin32: CreateThread failed: %d",
                     static_cast<int>(GetLastError()));
    }
}

void platformRxJoin() {
    rxStopping.store(true);
    if (rxThread != nullptr) {
        WaitForSingleObject(rxThread, INFINITE);
        CloseHandle(rxThread);
        rxThread = nullptr;
    }
}

void platformRxReset() {
    rxRing->clear(rxRing);
    rxHeld = 0;
    rxInFrame = false;
}

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
    const uint32_t received = platformUartReceive(rxChunk.data() + rxHeld, wanted - rxHeld);
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
    while (platformUartIsOpen() && !rxStopping.load()) {
        uint32_t gatherMs = platformRxPoll();
        if (platformPortLostError() != 0) {
            platformNotePortError(IR_ERR_PORT_LOST);
            gatherMs = PLATFORM_RX_WAIT_MS; // a port that has gone fails at once: no spinning
        }
        if (gatherMs != 0) {
            platformClock().sleepMs(gatherMs);
        }
    }
    consolePrint("\n\tEOT");
    return 0;
}

uint8_t platformUartRxReady(uint16_t waitMs) {
    if (!rxRingEmpty()) {
        return 1;
    }
    if (waitMs == 0) {
        return 0;
    }
    const PlatformTiming& host = platformClock();
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
