// The transfer ring: 40 slots of 4 MiB that carry a task's data from its reader
// thread to its writer thread.
//
// Contract (one producer, one consumer):
//   producer: i = ProducerSlot(); fill Slot(i) and its buffer; Commit();
//   consumer: WaitForSignal(...); i = ConsumerSlot(); read Slot(i); Release();
// Head and count change only under the ring's mutex. A slot's contents are
// written by the producer before Commit() and read by the consumer after
// ConsumerSlot() returned it, so the mutex orders every slot access; a slot is
// not handed out again before Release().
//
// The signal is a counting semaphore (0..40) that only shortens the consumer's
// waits: after every wait, timed out or not, the consumer asks ConsumerSlot()
// and acts on the count alone.
//
// Lifetime: Reset() (at every task start) allocates 40 fresh buffers and opens
// the signal; Teardown() frees the buffers and closes the signal. Teardown()
// may be called only when the partner thread no longer touches slots (it has
// ended, or the caller is the last party using the ring). After Teardown()
// ProducerSlot() and ConsumerSlot() return -1.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

namespace stow::engine {

struct ImageChunk;

inline constexpr int kRingSlots = 40;
inline constexpr uint32_t kSlotBytes = 4 * 1024 * 1024;  // 4,194,304
inline constexpr uint32_t kSlotSectors = kSlotBytes / 512;

struct TransferSlot {
  uint64_t recordNumber = 0;            // MFT file record the run belongs to
  uint16_t attributeInstance = 0;       // the attribute's instance number
  uint16_t runIndex = 0;                // position of the run in its run list, from 0
  uint64_t runLength = 0;               // bytes of the whole run
  uint64_t runOffset = 0;               // where this chunk starts in the run, 512-byte sectors
  uint32_t dataLength = 0;              // bytes in the buffer; 0 marks a sparse run
  std::unique_ptr<std::byte[]> buffer;  // kSlotBytes, owned by the ring

  std::span<std::byte> Buffer() { return {buffer.get(), buffer ? kSlotBytes : 0u}; }
  std::span<const std::byte> Data() const { return {buffer.get(), buffer ? dataLength : 0u}; }
  void ClearHeader();
};

// Conversions between a slot's header and a chunk of the image stream; a chunk
// of the image is one slot's worth (kImageChunkBytes == kSlotBytes).
ImageChunk ChunkOfSlot(const TransferSlot& slot);
void FillSlotHeader(TransferSlot& slot, const ImageChunk& chunk);

class TransferRing {
 public:
  TransferRing() = default;
  ~TransferRing() = default;
  TransferRing(const TransferRing&) = delete;
  TransferRing& operator=(const TransferRing&) = delete;

  // Empties the ring, clears every slot's header, allocates 40 fresh buffers
  // (the old ones are freed) and opens the signal with a count of 0. False when
  // the buffers cannot be allocated; the ring is then torn down.
  [[nodiscard]] bool Reset();
  // Frees the buffers and closes the signal; wakes any waiter.
  void Teardown();
  // Closes only the signal (a reader that ends before its partner started).
  void CloseSignal();
  // True while the signal is open (the ring's "semaphore exists").
  bool SignalOpen() const;
  bool HasBuffers() const;

  // Producer slot: -1 when the ring is full (count >= 40) or torn down,
  // else (head + count) mod 40.
  int ProducerSlot();
  // count += 1, then one signal; a signal beyond 40 or on a closed signal is dropped.
  void Commit();
  // Consumer slot: -1 when the ring is empty (count <= 0) or torn down, else head.
  int ConsumerSlot();
  // count -= 1; head advances, wrapping from 39 to 0.
  void Release();

  // Waits for one signal. With a time-out: true when a signal was taken before
  // it ran out. Without one (std::nullopt): waits until a signal arrives, the
  // producer is marked finished or the signal is closed. A closed signal
  // returns false at once.
  bool WaitForSignal(std::optional<std::chrono::milliseconds> timeout);
  // Wakes untimed waiters for good: the producer will commit nothing more.
  void MarkProducerFinished();
  // Producer side of a full ring: waits until a slot is free (true), or the
  // time-out passes or the ring is torn down (false). A release wakes the
  // waiter at once, so the reader neither spins nor oversleeps; the time-out
  // bounds how late it notices a stop or a partner that is gone.
  bool WaitForFreeSlot(std::chrono::milliseconds timeout);

  TransferSlot& Slot(int index) { return slots_[static_cast<size_t>(index)]; }
  const TransferSlot& Slot(int index) const { return slots_[static_cast<size_t>(index)]; }

  // Snapshots for tests and diagnostics.
  int Head() const;
  int Count() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable signalled_;
  std::condition_variable freed_;  // a slot was released or the buffers went away
  TransferSlot slots_[kRingSlots];
  int head_ = 0;
  int count_ = 0;
  int signals_ = 0;
  bool signalOpen_ = false;
  bool buffersPresent_ = false;
  bool producerFinished_ = false;
};

}  // namespace stow::engine
