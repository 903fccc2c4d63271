#include <array>
#include <cctype>
#include <mutex>

#include "console.h"
#include "ir_options.h"
#include "platform.h"
#include "secondary.h"
#include "secondary_internal.h"
#include "task_thread.h"
#include "transceiver.h"

namespace secondary {

ByteQueue receiveQueue{};
ByteQueue transmitQueue{};
std::mutex transmitLock;
std::mutex receiveLock;
std::atomic<bool> taskRunning{false};

namespace {

constexpr std::array<uint8_t, 6> MODEM_ANSWER = {'\r', '\n', 'O', 'K', '\r', '\n'};

enum class TaskMode : uint8_t { waiting, connected };

std::array<uint8_t, FULL_QUEUE_SIZE> receiveStorage{};
std::array<uint8_t, FULL_QUEUE_SIZE> transmitStorage{};
TaskThread taskThread;
TaskMode taskMode = TaskMode::waiting;
std::atomic<bool> demoAnswers{true};
// Modem answers owed to the peer that did not fit yet; queued on a later pass.
uint8_t answersOwed = 0;

bool containsAt(const std::array<uint8_t, SECONDARY_RECEIVE_SIZE>& bytes) {
    // Like a C string search: the bytes end at the first zero.
    for (size_t i = 0; i + 1 < bytes.size() && bytes[i] != 0; ++i) {
        if (bytes[i] == 'A' && bytes[i + 1] == 'T') {
            return true;
        }
    }
    return false;
}

void pushAll(const uint8_t* data, uint8_t length) {
    for (uint8_t i = 0; i < length; ++i) {
        transmitQueue.push(&transmitQueue, data[i]);
    }
}

} // namespace

void secondaryInit() {
    engineState = SEC_IDLE;
    shownState = 0xFF;
    staging.fill(0);
    transceiverStart(platformTransceiverLines());
    platformSetRxGather(linkOffer.negotiates ? PLATFORM_RX_GATHER_FULL_MS : PLATFORM_RX_GATHER_MS);
    secondaryResetTerms();
    lapResetLink(linkRecord, SECONDARY_DEVICE_ADDRESS);
    held.length = 0;
    held.awaitingAck = false;
    dataUnacknowledged = false;
    byteQueueSetUp(receiveQueue, receiveStorage, lapQueueSize(linkOffer, SECONDARY_RECEIVE_SIZE),
                   receiveLock);
    byteQueueSetUp(transmitQueue, transmitStorage, lapQueueSize(linkOffer, SECONDARY_TRANSMIT_SIZE),
                   transmitLock);
    taskMode = TaskMode::waiting;
    answersOwed = 0;
}

uint8_t secondaryIsIdle() {
    return engineState == SEC_IDLE ? 1 : 0;
}

uint8_t secondaryIsConnecting() {
    const uint8_t state = engineState;
    return state >= SEC_DISCOVERED && state <= SEC_TTP_CONNECTED ? 1 : 0;
}

uint8_t secondaryIsConnected() {
    return engineState == SEC_IRCOMM_OPEN ? 1 : 0;
}

void secondarySend(const uint8_t* data, uint8_t length) {
    const std::lock_guard<std::mutex> guard(transmitLock);
    if (byteQueueRoom(&transmitQueue) >= length) {
        pushAll(data, length);
        return;
    }
    // Longer than the free room: feed it in as the engine drains, but only while the channel
    // is open; before it opens the engine would discard it anyway, and waiting could hang.
    uint8_t sent = 0;
    while (sent < length && secondaryIsConnected() != 0) {
        while (sent < length && transmitQueue.push(&transmitQueue, data[sent])) {
            ++sent;
        }
        if (sent < length) {
            Sleep(SECONDARY_SEND_POLL_MS);
        }
    }
}

bool secondaryTrySend(const uint8_t* data, uint8_t length) {
    const std::unique_lock<std::mutex> guard(transmitLock, std::try_to_lock);
    if (!guard.owns_lock() || byteQueueRoom(&transmitQueue) < length) {
        return false;
    }
    pushAll(data, length);
    return true;
}

uint8_t secondaryReceive(uint8_t* buffer) {
    const std::lock_guard<std::mutex> guard(receiveLock);
    uint8_t count = 0;
    while (receiveQueue.isEmpty(&receiveQueue) == 0 && count < SECONDARY_RECEIVE_SIZE - 1) {
        buffer[count] = receiveQueue.pop(&receiveQueue);
        ++count;
    }
    return count;
}

void dumpReceived(const uint8_t* data, uint16_t count) {
    for (uint16_t i = 0; i < count; ++i) {
        consolePrint("\n\t\t%03d\t0x%02X", data[i], data[i]);
        if (std::isprint(data[i]) != 0) {
            consolePrint("\t%c", data[i]);
        }
    }
}

void secondarySetDemoAnswers(bool on) {
    demoAnswers = on;
}

void secondaryTaskPass() {
    secondaryStep();
    if (!demoAnswers) {
        return;
    }
    std::array<uint8_t, SECONDARY_RECEIVE_SIZE> received{};
    if (taskMode == TaskMode::waiting) {
        if (secondaryIsConnected() != 0) {
            taskMode = TaskMode::connected;
            answersOwed = 0; // the engine emptied the queue for the new channel
        }
        return;
    }
    if (secondaryIsConnected() == 0) {
        taskMode = TaskMode::waiting; // this pass still fetches and answers
    }
    const uint8_t count = secondaryReceive(received.data());
    dumpReceived(received.data(), count);
    if (containsAt(received) && answersOwed < UINT8_MAX) {
        ++answersOwed;
    }
    // Never blocks: an answer that does not fit now is queued on a later pass.
    while (answersOwed > 0 && secondaryTrySend(MODEM_ANSWER.data(), MODEM_ANSWER.size())) {
        --answersOwed;
    }
}

DWORD WINAPI stackTask(LPVOID /*parameter*/) {
    while (taskRunning) {
        // A frame seen is read at once; every other step keeps the period, or frame-paced ends
        // as soon as a frame begins.
        if (secondaryByteSeen()) {
            // next pass reads
        } else if (secondaryPaced()) {
            secondaryLink().waitByte(STACK_TASK_PERIOD_MS);
        } else {
            Sleep(STACK_TASK_PERIOD_MS);
        }
        secondaryTaskPass();
    }
    consolePrint("\n\tEOT");
    return 0;
}

void startStackTask() {
    if (!taskThreadStart(taskThread, taskRunning, stackTask)) {
        consoleError("\nstackTask CreateThread failed: %d", static_cast<int>(GetLastError()));
    }
}

void stopStackTask() {
    taskThreadStop(taskThread, taskRunning);
}

} // namespace secondary
