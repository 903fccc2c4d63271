#include "byte_queue.h"

namespace {

// The producer owns writeIndex, the consumer readIndex; each reads the other's index with acquire
// so that the byte it hands over (or the slot it frees) is visible before the index moves.

uint8_t queueIsEmpty(const ByteQueue* queue) {
    return queue->writeIndex.load(std::memory_order_acquire) ==
                   queue->readIndex.load(std::memory_order_acquire)
               ? 1
               : 0;
}

bool queuePush(ByteQueue* queue, uint8_t byte) {
    const uint16_t write = queue->writeIndex.load(std::memory_order_relaxed);
    const auto next = static_cast<uint16_t>((write + 1) & queue->mask);
    if (next == queue->readIndex.load(std::memory_order_acquire)) {
        return false; // full: storing would make the ring read as empty
    }
    queue->buffer[write] = byte;
    queue->writeIndex.store(next, std::memory_order_release);
    return true;
}

uint8_t queuePop(ByteQueue* queue) {
    const uint16_t read = queue->readIndex.load(std::memory_order_relaxed);
    if (read == queue->writeIndex.load(std::memory_order_acquire)) {
        return 0; // empty: leave the indices alone rather than invent a byte
    }
    const uint8_t byte = queue->buffer[read];
    queue->readIndex.store(static_cast<uint16_t>((read + 1) & queue->mask),
                           std::memory_order_release);
    return byte;
}

void queueClear(ByteQueue* queue) {
    queue->writeIndex.store(0, std::memory_order_release);
    queue->readIndex.store(0, std::memory_order_release);
}

int queueCount(const ByteQueue* queue) {
    const uint16_t write = queue->writeIndex.load(std::memory_order_acquire);
    const uint16_t read = queue->readIndex.load(std::memory_order_acquire);
    return (write - read) & queue->mask;
}

} // namespace

ByteQueue* byteQueueInit(ByteQueue* queue, uint8_t* storage, uint16_t size) {
    queue->isEmpty = queueIsEmpty;
    queue->push = queuePush;
    queue->pop = queuePop;
    queue->clear = queueClear;
    queue->count = queueCount;
    queue->writeIndex.store(0, std::memory_order_relaxed);
    queue->readIndex.store(0, std::memory_order_relaxed);
    queue->buffer = storage;
    queue->mask = static_cast<uint16_t>(size - 1);
    return queue;
}

int byteQueueRoom(const ByteQueue* queue) {
    return queue->mask - queueCount(queue);
}

size_t byteQueuePushAll(ByteQueue* queue, std::span<const uint8_t> bytes) {
    uint16_t write = queue->writeIndex.load(std::memory_order_relaxed);
    const uint16_t read = queue->readIndex.load(std::memory_order_acquire);
    size_t stored = 0;
    for (; stored < bytes.size(); ++stored) {
        const auto next = static_cast<uint16_t>((write + 1) & queue->mask);
        if (next == read) {
            break;
        }
        queue->buffer[write] = bytes[stored];
        write = next;
    }
    queue->writeIndex.store(write, std::memory_order_release);
    return stored;
}

size_t byteQueuePopAll(ByteQueue* queue, std::span<uint8_t> bytes) {
    size_t taken = 0;
    while (taken < bytes.size() && queue->isEmpty(queue) == 0) {
        bytes[taken] = queue->pop(queue);
        ++taken;
    }
    return taken;
}

void byteQueueSetUp(ByteQueue& queue, std::span<uint8_t> storage, uint16_t size, std::mutex& lock) {
    const std::scoped_lock guard(lock);
    queue.init = byteQueueInit;
    queue.init(&queue, storage.data(), size);
}
