#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

#include "byte_queue.h"
#include "deadline.h"

namespace {

struct QueueFixture : ::testing::Test {
    ByteQueue queue{};
    std::array<uint8_t, 32> storage{};

    void SetUp() override {
        storage.fill(0xAA);
        queue.init = byteQueueInit;
        queue.init(&queue, storage.data(), 32);
    }
};

TEST_F(QueueFixture, FreshQueueIsEmptyWhateverStorageHeld) {
    EXPECT_EQ(queue.isEmpty(&queue), 1);
    EXPECT_EQ(queue.count(&queue), 0);
    EXPECT_EQ(byteQueueRoom(&queue), 31);
    EXPECT_EQ(queue.mask, 31);
}

TEST_F(QueueFixture, InitResetsIndicesAndLeavesInitSlotAlone) {
    queue.writeIndex = 7;
    queue.readIndex = 3;
    queue.init = nullptr;
    EXPECT_EQ(byteQueueInit(&queue, storage.data(), 64), &queue);
    EXPECT_EQ(queue.init, nullptr);
    EXPECT_EQ(queue.writeIndex.load(), 0);
    EXPECT_EQ(queue.readIndex.load(), 0);
    EXPECT_EQ(queue.mask, 63);
}

TEST_F(QueueFixture, HoldsSizeLessOneInOrderAndRefusesMore) {
    for (int i = 0; i < 31; ++i) {
        EXPECT_TRUE(queue.push(&queue, static_cast<uint8_t>(i + 1)));
    }
    EXPECT_EQ(queue.count(&queue), 31);
    EXPECT_EQ(byteQueueRoom(&queue), 0);
    EXPECT_FALSE(queue.push(&queue, 0xEE));
    EXPECT_EQ(queue.count(&queue), 31);
    for (int i = 0; i < 31; ++i) {
        ASSERT_EQ(queue.isEmpty(&queue), 0);
        EXPECT_EQ(queue.pop(&queue), i + 1);
    }
    EXPECT_EQ(queue.isEmpty(&queue), 1);
}

TEST_F(QueueFixture, CountSurvivesIndexWrap) {
    for (int i = 0; i < 30; ++i) {
        queue.push(&queue, 1);
        queue.pop(&queue);
    }
    for (uint8_t b = 10; b < 14; ++b) {
        queue.push(&queue, b);
    }
    EXPECT_EQ(queue.writeIndex.load(), 2);
    EXPECT_EQ(queue.readIndex.load(), 30);
    EXPECT_EQ(queue.count(&queue), 4);
    for (uint8_t b = 10; b < 14; ++b) {
        EXPECT_EQ(queue.pop(&queue), b);
    }
}

TEST_F(QueueFixture, ClearForgetsOldBytes) {
    queue.push(&queue, 1);
    queue.push(&queue, 2);
    queue.clear(&queue);
    EXPECT_EQ(queue.isEmpty(&queue), 1);
    EXPECT_EQ(queue.count(&queue), 0);
    queue.push(&queue, 9);
    EXPECT_EQ(queue.pop(&queue), 9);
    EXPECT_EQ(queue.isEmpty(&queue), 1);
}

TEST_F(QueueFixture, PopOnEmptyChangesNothing) {
    EXPECT_EQ(queue.pop(&queue), 0);
    EXPECT_EQ(queue.isEmpty(&queue), 1);
    EXPECT_EQ(queue.count(&queue), 0);
}

TEST_F(QueueFixture, BlockPushStoresWhatFitsAcrossTheWrap) {
    std::array<uint8_t, 40> block{};
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i + 1);
    }
    for (int i = 0; i < 20; ++i) {
        queue.push(&queue, 0);
        queue.pop(&queue);
    }
    EXPECT_EQ(byteQueuePushAll(&queue, block), 31U);
    EXPECT_EQ(byteQueuePushAll(&queue, block), 0U);
    for (int i = 0; i < 31; ++i) {
        ASSERT_EQ(queue.pop(&queue), i + 1);
    }
    EXPECT_EQ(queue.isEmpty(&queue), 1);
}

// Window-sized queues: past 256 bytes the indices and the count must not wrap early.
TEST(ByteQueueLarge, HoldsItsWholeSizeAcrossTheWrap) {
    std::vector<uint8_t> storage(BYTE_QUEUE_MAX_SIZE);
    ByteQueue queue{};
    queue.init = byteQueueInit;
    queue.init(&queue, storage.data(), BYTE_QUEUE_MAX_SIZE);
    std::vector<uint8_t> block(BYTE_QUEUE_MAX_SIZE);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(byteQueuePushAll(&queue, block), BYTE_QUEUE_MAX_SIZE - 1U);
        EXPECT_EQ(queue.count(&queue), BYTE_QUEUE_MAX_SIZE - 1);
        EXPECT_EQ(byteQueueRoom(&queue), 0);
        const size_t taken = BYTE_QUEUE_MAX_SIZE - 1 - 1000 * static_cast<size_t>(round);
        for (size_t i = 0; i < taken; ++i) {
            ASSERT_EQ(queue.pop(&queue), block[i]) << i;
        }
        while (queue.isEmpty(&queue) == 0) {
            queue.pop(&queue);
        }
    }
}

TEST_F(QueueFixture, OneProducerOneConsumerKeepOrder) {
    constexpr int total = 20000;
    const Deadline deadline;
    std::thread producer([this, &deadline] {
        for (int i = 0; i < total; ++i) {
            while (!queue.push(&queue, static_cast<uint8_t>(i))) {
                if (deadline.passed()) {
                    return;
                }
                std::this_thread::yield();
            }
        }
    });
    int received = 0;
    bool inOrder = true;
    while (received < total && !deadline.passed()) {
        if (queue.isEmpty(&queue) != 0) {
            std::this_thread::yield();
            continue;
        }
        inOrder = inOrder && queue.pop(&queue) == static_cast<uint8_t>(received);
        ++received;
    }
    producer.join();
    EXPECT_EQ(received, total) << "the bytes stopped coming";
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(queue.isEmpty(&queue), 1);
}

} // namespace
