// Fixed-capacity byte ring between an application thread and a station engine.
// One producer and one consumer may work on it at once; the record carries its own operation table.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

struct ByteQueue;

constexpr uint16_t BYTE_QUEUE_MAX_SIZE = 32768;

// `size` is a power of two up to BYTE_QUEUE_MAX_SIZE.
using ByteQueueInitFn = ByteQueue* (*)(ByteQueue* queue, uint8_t* storage, uint16_t size);

struct ByteQueue {
    ByteQueueInitFn init;
    uint8_t (*isEmpty)(const ByteQueue* queue);
    // Returns false, storing nothing, when the queue already holds size - 1 bytes.
    bool (*push)(ByteQueue* queue, uint8_t byte);
    uint8_t (*pop)(ByteQueue* queue);
    void (*clear)(ByteQueue* queue);
    int (*count)(const ByteQueue* queue);
    std::atomic<uint16_t> writeIndex;
    std::atomic<uint16_t> readIndex;
    uint8_t* buffer;
    uint16_t mask;
};

// The initialisation operation: the creator stores it in `init` and calls it through that slot.
ByteQueue* byteQueueInit(ByteQueue* queue, uint8_t* storage, uint16_t size);

// Free room in bytes (size - 1 - count).
int byteQueueRoom(const ByteQueue* queue);

// The producer's block push: stores as many of `bytes` as there is room for and hands them to the
// consumer together. Returns how many it stored.
size_t byteQueuePushAll(ByteQueue* queue, std::span<const uint8_t> bytes);

// The consumer's block pop: takes up to `bytes.size()` bytes in order; returns how many.
size_t byteQueuePopAll(ByteQueue* queue, std::span<uint8_t> bytes);

// Sets the queue up over `storage` through its init slot, under `lock`: the program may be pumping
// the queue of a station that restarts. `size` as for byteQueueInit, at most storage.size().
void byteQueueSetUp(ByteQueue& queue, std::span<uint8_t> storage, uint16_t size, std::mutex& lock);
