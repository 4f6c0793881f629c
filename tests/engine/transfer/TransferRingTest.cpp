// The transfer ring's slot arithmetic, its signal, and a real reader/writer pair
// moving data through it (also run under ThreadSanitizer).
#include "engine/transfer/TransferRing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "support/Bytes.h"

namespace stow::engine {
namespace {

void Produce(TransferRing& ring, int expectedSlot) {
  const int slot = ring.ProducerSlot();
  ASSERT_EQ(slot, expectedSlot);
  ring.Commit();
}

TEST(TransferRing, FillsToFortyDrainsToEmptyAndWraps) {
  TransferRing ring;
  ASSERT_TRUE(ring.Reset());
  EXPECT_EQ(ring.ConsumerSlot(), -1) << "a fresh ring is empty";

  for (int i = 0; i < kRingSlots; ++i) Produce(ring, i);
  EXPECT_EQ(ring.Count(), 40);
  EXPECT_EQ(ring.ProducerSlot(), -1) << "a full ring has no producer slot";
  ring.Commit();  // a stray commit on a full ring must not push the count past 40
  EXPECT_EQ(ring.Count(), 40);

  for (int i = 0; i < kRingSlots; ++i) {
    ASSERT_EQ(ring.ConsumerSlot(), i);
    ring.Release();
  }
  EXPECT_EQ(ring.Count(), 0);
  EXPECT_EQ(ring.Head(), 0) << "40 commits and 40 releases bring head back";
  EXPECT_EQ(ring.ConsumerSlot(), -1);
  ring.Release();  // a stray release on an empty ring changes nothing
  EXPECT_EQ(ring.Head(), 0);
  EXPECT_EQ(ring.Count(), 0);

  // Start at head 37: producer slots run 37, 38, 39, 0, 1 and the consumer follows.
  for (int i = 0; i < 37; ++i) {
    Produce(ring, i);
    ASSERT_EQ(ring.ConsumerSlot(), i);
    ring.Release();
  }
  for (int slot : {37, 38, 39, 0, 1}) Produce(ring, slot);
  for (int slot : {37, 38, 39, 0, 1}) {
    ASSERT_EQ(ring.ConsumerSlot(), slot);
    ring.Release();
  }
  EXPECT_EQ(ring.Head(), 2);
}

TEST(TransferRing, ResetClearsSlotsAndTeardownClosesEverything) {
  TransferRing ring;
  ASSERT_TRUE(ring.Reset());
  const int slot = ring.ProducerSlot();
  TransferSlot& s = ring.Slot(slot);
  ASSERT_EQ(s.Buffer().size(), kSlotBytes);
  s.recordNumber = 9;
  s.runLength = 4096;
  s.dataLength = 4096;
  ring.Commit();

  ASSERT_TRUE(ring.Reset());
  EXPECT_EQ(ring.Count(), 0);
  EXPECT_EQ(ring.Head(), 0);
  EXPECT_EQ(ring.Slot(slot).recordNumber, 0u);
  EXPECT_EQ(ring.Slot(slot).dataLength, 0u);
  EXPECT_TRUE(ring.SignalOpen());
  EXPECT_FALSE(ring.WaitForSignal(std::chrono::milliseconds(0))) << "the signal starts at 0";

  ring.Teardown();
  EXPECT_FALSE(ring.HasBuffers());
  EXPECT_FALSE(ring.SignalOpen());
  EXPECT_EQ(ring.ProducerSlot(), -1);
  EXPECT_EQ(ring.ConsumerSlot(), -1);
  EXPECT_FALSE(ring.WaitForSignal(std::nullopt)) << "a closed signal never blocks";
  EXPECT_EQ(ring.Slot(0).Buffer().size(), 0u);
}

TEST(TransferRing, SignalCountsCommitsUpToTheRingSize) {
  TransferRing ring;
  ASSERT_TRUE(ring.Reset());
  for (int i = 0; i < kRingSlots; ++i) Produce(ring, i);
  int taken = 0;
  while (ring.WaitForSignal(std::chrono::milliseconds(0))) ++taken;
  EXPECT_EQ(taken, kRingSlots);

  // A closed signal drops commits; the count still goes by the slots.
  ring.CloseSignal();
  ring.ConsumerSlot();
  ring.Release();
  Produce(ring, 0);
  EXPECT_EQ(ring.Count(), 40);
  EXPECT_FALSE(ring.WaitForSignal(std::chrono::milliseconds(0)));
}

TEST(TransferRing, UntimedWaitEndsWhenTheProducerFinishes) {
  TransferRing ring;
  ASSERT_TRUE(ring.Reset());
  std::thread producer([&] { ring.MarkProducerFinished(); });
  EXPECT_FALSE(ring.WaitForSignal(std::nullopt));
  producer.join();
  EXPECT_EQ(ring.ConsumerSlot(), -1);
}

TEST(TransferRing, ProducerWaitEndsWithAReleaseOrATeardown) {
  using std::chrono::milliseconds;
  // Long enough that only a missed wake-up could ever reach it.
  constexpr milliseconds kPatience(10000);
  TransferRing ring;
  ASSERT_TRUE(ring.Reset());
  EXPECT_TRUE(ring.WaitForFreeSlot(milliseconds(0))) << "an empty ring has room";
  for (int i = 0; i < kRingSlots; ++i) Produce(ring, i);
  EXPECT_FALSE(ring.WaitForFreeSlot(milliseconds(0))) << "a full ring has none";

  std::thread consumer([&] {
    ASSERT_EQ(ring.ConsumerSlot(), 0);
    ring.Release();
  });
  EXPECT_TRUE(ring.WaitForFreeSlot(kPatience));
  consumer.join();
  Produce(ring, 0);  // full again, head at 1

  std::thread closer([&] { ring.Teardown(); });
  EXPECT_FALSE(ring.WaitForFreeSlot(kPatience)) << "a torn-down ring has no slot to wait for";
  closer.join();
  EXPECT_EQ(ring.ProducerSlot(), -1);
}

// The data of slot number `n`: length and bytes both derived from n.
uint32_t ChunkLength(uint64_t n) { return static_cast<uint32_t>(1 + (n * 7919) % 4096); }

void FillChunk(uint64_t n, std::span<std::byte> out) {
  uint64_t x = n * 0x9E3779B97F4A7C15ull + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<std::byte>(x & 0xFF);
  }
}

TEST(TransferRing, ReaderAndWriterThreadsMoveEverySlotIntact) {
  constexpr uint64_t kChunks = 2000;
  TransferRing ring;
  ASSERT_TRUE(ring.Reset());

  std::atomic<bool> producerDone{false};
  std::thread producer([&] {
    for (uint64_t n = 0; n < kChunks;) {
      const int slot = ring.ProducerSlot();
      if (slot < 0) {
        std::this_thread::yield();
        continue;
      }
      TransferSlot& s = ring.Slot(slot);
      s.recordNumber = n;
      s.runIndex = static_cast<uint16_t>(n & 0xFFFF);
      s.dataLength = n % 5 == 0 ? 0 : ChunkLength(n);  // every fifth one sparse
      FillChunk(n, s.Buffer().first(s.dataLength));
      ring.Commit();
      ++n;
    }
    producerDone.store(true);
    ring.MarkProducerFinished();
  });

  uint64_t next = 0;
  uint32_t mismatches = 0;
  std::vector<std::byte> expected(4096);
  while (true) {
    ring.WaitForSignal(std::chrono::milliseconds(200));
    const int slot = ring.ConsumerSlot();
    if (slot < 0) {
      if (producerDone.load() && ring.Count() == 0) break;
      continue;
    }
    const TransferSlot& s = ring.Slot(slot);
    EXPECT_EQ(s.recordNumber, next);
    const uint32_t length = next % 5 == 0 ? 0 : ChunkLength(next);
    EXPECT_EQ(s.dataLength, length);
    FillChunk(next, std::span<std::byte>(expected).first(length));
    if (Crc32(s.Data()) != Crc32(std::span<const std::byte>(expected).first(length))) ++mismatches;
    ring.Release();
    ++next;
  }
  producer.join();
  EXPECT_EQ(next, kChunks);
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(ring.Head(), static_cast<int>(kChunks % kRingSlots));
}

}  // namespace
}  // namespace stow::engine
