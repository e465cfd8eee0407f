// Ring buffer: order across wraps, full and empty, resize, free.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "emu/sched.h"
#include "ring.h"

namespace {

class Ring : public ::testing::Test {
protected:
    void SetUp() override { RingInit(&ring); }
    void TearDown() override { RingFree(&ring); }

    std::vector<uint8_t> Take(ULONG64 n) {
        std::vector<uint8_t> out(n ? n : 1);
        out.resize(RingGet(out.data(), &ring, n));
        return out;
    }
    ULONG64 Put(const std::vector<uint8_t>& bytes) {
        return RingPut(&ring, bytes.data(), bytes.size());
    }
    static std::vector<uint8_t> Seq(uint8_t first, size_t n) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; i++) v[i] = uint8_t(first + i);
        return v;
    }

    RingBuffer ring;
};

TEST_F(Ring, FullAndEmptyNeverOverwriteOrInvent) {
    ASSERT_EQ(RingAllocate(&ring, 8), STATUS_SUCCESS);
    EXPECT_EQ(Take(4).size(), 0u);                 // empty
    EXPECT_EQ(Put(Seq(0, 5)), 5u);
    EXPECT_EQ(Put(Seq(5, 5)), 3u);                 // only the free space is taken
    EXPECT_EQ(Put(Seq(50, 1)), 0u);                // full: nothing stored
    EXPECT_EQ(ring.Count, 8u);
    EXPECT_EQ(Take(100), Seq(0, 8));               // more than held: all held, ring empty
    EXPECT_EQ(ring.Count, 0u);
    EXPECT_EQ(RingPut(&ring, nullptr, 0), 0u);
    EXPECT_EQ(RingGet(nullptr, &ring, 0), 0u);
}

TEST_F(Ring, OrderKeptAcrossManyWraps) {
    ASSERT_EQ(RingAllocate(&ring, 7), STATUS_SUCCESS);
    // A put that ends exactly at the end makes the next one begin at the start.
    EXPECT_EQ(Put(Seq(0, 7)), 7u);
    EXPECT_EQ(ring.WriteIndex, 0u);
    EXPECT_EQ(Take(7), Seq(0, 7));

    // Odd-sized chunks so that puts and gets straddle the end in every position.
    uint8_t next_in = 0, next_out = 0;
    for (int round = 0; round < 500; round++) {
        size_t n = 1 + (round * 5) % 7;
        auto chunk = Seq(next_in, n);
        ULONG64 stored = Put(chunk);
        next_in = uint8_t(next_in + stored);
        auto got = Take(1 + (round * 3) % 7);
        for (uint8_t b : got) ASSERT_EQ(b, next_out++) << "round " << round;
        ASSERT_LE(ring.Count, ring.Size);
    }
    auto rest = Take(7);
    for (uint8_t b : rest) ASSERT_EQ(b, next_out++);
    EXPECT_EQ(next_in, next_out);
}

TEST_F(Ring, ResizeKeepsHeldBytesInOrder) {
    ASSERT_EQ(RingAllocate(&ring, 6), STATUS_SUCCESS);
    Put(Seq(0, 5));
    Take(4);
    Put(Seq(5, 4));                               // wraps: held 4..8, split over the end
    PUCHAR before = ring.Data;
    EXPECT_EQ(RingResize(&ring, 6), STATUS_SUCCESS);
    EXPECT_EQ(ring.Data, before);                  // same size: no reallocation
    EXPECT_EQ(RingResize(&ring, 5), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ring.Size, 6u);
    EXPECT_EQ(ring.Count, 5u);

    ASSERT_EQ(RingResize(&ring, 16), STATUS_SUCCESS);
    EXPECT_EQ(ring.Size, 16u);
    EXPECT_EQ(ring.ReadIndex, 0u);
    EXPECT_EQ(ring.WriteIndex, 5u);
    EXPECT_EQ(Put(Seq(9, 11)), 11u);
    EXPECT_EQ(Take(16), Seq(4, 16));
}

TEST_F(Ring, ResizeWithoutStorageAndFree) {
    EXPECT_EQ(Put(Seq(0, 3)), 0u);                // no storage yet
    ASSERT_EQ(RingResize(&ring, 4), STATUS_SUCCESS);
    EXPECT_EQ(ring.Count, 0u);
    EXPECT_EQ(Put(Seq(0, 3)), 3u);
    RingClear(&ring);
    EXPECT_EQ(ring.Count, 0u);
    EXPECT_NE(ring.Data, nullptr);                 // clear keeps the storage
    RingFree(&ring);
    EXPECT_EQ(ring.Data, nullptr);
    EXPECT_EQ(ring.Size, 0u);
    EXPECT_EQ(Put(Seq(0, 3)), 0u);
    EXPECT_EQ(Take(3).size(), 0u);
    RingFree(&ring);                               // twice is harmless
    ASSERT_EQ(RingAllocate(&ring, 2), STATUS_SUCCESS);
    EXPECT_EQ(Put(Seq(0, 3)), 2u);
}

// One producer and one consumer on different threads: every byte arrives once, in order.
TEST_F(Ring, ConcurrentProducerAndConsumerKeepOrder) {
    ASSERT_EQ(RingAllocate(&ring, 61), STATUS_SUCCESS);
    constexpr size_t kTotal = 200000;
    std::vector<uint8_t> received;
    received.reserve(kTotal);
    emu::Thread producer([&] {
        size_t sent = 0;
        uint8_t chunk[37];
        while (sent < kTotal) {
            size_t n = std::min(sizeof(chunk), kTotal - sent);
            for (size_t i = 0; i < n; i++) chunk[i] = uint8_t((sent + i) * 7);
            ULONG64 stored = RingPut(&ring, chunk, n);
            sent += stored;
            if (stored == 0) std::this_thread::yield();
        }
    }, "producer");
    emu::Thread consumer([&] {
        uint8_t chunk[23];
        while (received.size() < kTotal) {
            ULONG64 got = RingGet(chunk, &ring, sizeof(chunk));
            received.insert(received.end(), chunk, chunk + got);
            if (got == 0) std::this_thread::yield();
        }
    }, "consumer");
    producer.join();
    consumer.join();
    ASSERT_EQ(received.size(), kTotal);
    for (size_t i = 0; i < kTotal; i++) ASSERT_EQ(received[i], uint8_t(i * 7)) << "byte " << i;
    EXPECT_EQ(ring.Count, 0u);
}

}  // namespace
