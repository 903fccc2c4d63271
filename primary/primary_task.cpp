#include "primary.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "console.h"
#include "ir_options.h"
#include "primary_engine.h"
#include "primary_port.h"
#include "primary_upper.h"
#include "task_thread.h"

namespace primary {

std::atomic<bool> taskRunning{false};

namespace {

// The wire bytes of the shortest answer (XBOFs, BOF, address, control, FCS, EOF): a frame that has
// begun is this long in at the least, so the step reads it without waiting once per byte.
constexpr uint32_t SHORT_FRAME_WIRE_BITS = 16 * 10;

TaskThread taskThread;

// Held over a whole primarySend so that no two texts interleave.
std::mutex sendLock;

// Counts the texts queued, so that a task holding a poll back wakes for new bytes at once.
std::mutex queuedLock;
std::condition_variable queuedSignal;
uint32_t textsQueued = 0;

void noteQueued() {
    {
        const std::lock_guard<std::mutex> guard(queuedLock);
        ++textsQueued;
    }
    queuedSignal.notify_one();
}

// With the poll held back the peer is silent, as only a poll lets it speak; so the wait is for
// the user's bytes instead of the port's.
void waitQueued(uint32_t milliseconds) {
    std::unique_lock<std::mutex> guard(queuedLock);
    const uint32_t seen = textsQueued;
    queuedSignal.wait_for(guard, std::chrono::milliseconds(milliseconds),
                          [seen] { return textsQueued != seen || !taskRunning.load(); });
}

} // namespace

void primarySetOffer(const LapOffer& offer) {
    linkOffer = offer;
}

void primaryInit() {
    primaryMarkStart();
    engineState.store(PRIMARY_START_DELAY);
    shownState = 0xFF;
    staging.fill(0);
    linkTerms = LAP_FIXED_TERMS;
    primaryPort().reset();
    lapResetLink(linkRecord, PRIMARY_DEVICE_ADDRESS);
    primaryInitQueues();
    primaryForgetDiscovered();
}

uint8_t primaryIsIdle() {
    return engineState.load() == PRIMARY_START_DELAY ? 1 : 0;
}

uint8_t primaryIsConnecting() {
    const uint8_t state = engineState.load();
    return state >= PRIMARY_DISCOVERY && state <= PRIMARY_COMM_OPEN ? 1 : 0;
}

uint8_t primaryIsConnected() {
    return engineState.load() == PRIMARY_CONNECTED ? 1 : 0;
}

void primarySend(const uint8_t* data, uint8_t length) {
    const std::lock_guard<std::mutex> text(sendLock);
    uint8_t queued = 0;
    bool open = false;
    uint32_t opening = 0;
    while (queued < length) {
        {
            // Only around the pushes: the engine needs this lock to open the channel.
            const std::lock_guard<std::mutex> guard(transmitLock);
            const bool connected = engineState.load() == PRIMARY_CONNECTED;
            if (queued == 0) {
                // Nothing of the text is queued yet, so it may still choose its channel.
                open = connected;
                opening = channelOpenings;
            } else if (!connected || channelOpenings != opening) {
                break; // the channel the text was meant for is gone
            }
            while (queued < length && transmitQueue.push(&transmitQueue, data[queued])) {
                ++queued;
            }
        }
        noteQueued();
        // Without an open channel nothing drains the queue, and its bytes die at channel open
        // anyway.
        if (!open) {
            break;
        }
        if (queued < length) {
            Sleep(PRIMARY_SEND_WAIT_MS);
        }
    }
}

uint8_t primaryReceive(uint8_t* buffer) {
    const std::lock_guard<std::mutex> guard(receiveLock);
    uint8_t count = 0;
    // The engine may push while we pop; never take more than the buffer is promised to hold.
    while (count < PRIMARY_RECEIVE_SIZE - 1 && receiveQueue.isEmpty(&receiveQueue) == 0) {
        buffer[count] = receiveQueue.pop(&receiveQueue);
        ++count;
    }
    return count;
}

void startStackTask() {
    if (!taskThreadStart(taskThread, taskRunning, stackTask)) {
        consoleError("\nstackTask CreateThread failed: %d", static_cast<int>(GetLastError()));
    }
}

void stopStackTask() {
    taskThreadStop(taskThread, taskRunning);
}

DWORD WINAPI stackTask(LPVOID /*parameter*/) {
    while (taskRunning.load()) {
        // A seen answer is read at once; the read waits for the rest of the frame itself.
        // Frame-paced, the step also comes as soon as a frame begins; before discovery nothing
        // reads the port, so there the tick is a plain sleep.
        if (primaryAnswerSeen() || primaryRepeatDue()) {
            // next step reads or repeats
        } else if (primaryPollHeld()) {
            waitQueued(STACK_TASK_PERIOD_MS);
        } else if (primaryPaced() && engineState.load() != PRIMARY_START_DELAY) {
            if (primaryPort().link->waitByte(STACK_TASK_PERIOD_MS)) {
                const uint32_t speed = linkWatch.speed.load();
                const uint32_t bitsPerSecond = speed != 0 ? speed : 9600;
                Sleep((SHORT_FRAME_WIRE_BITS * 1000 + bitsPerSecond - 1) / bitsPerSecond);
            }
        } else {
            Sleep(STACK_TASK_PERIOD_MS);
        }
        primaryStep();
    }
    consolePrint("\n\tEOT");
    return 0;
}

} // namespace primary
