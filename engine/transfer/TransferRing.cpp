#include "engine/transfer/TransferRing.h"

#include <new>

#include "engine/image/ImageFormat.h"
#include "support/Log.h"

namespace stow::engine {

static_assert(kImageChunkBytes == kSlotBytes, "a chunk of the image fills one slot");

void TransferSlot::ClearHeader() {
  recordNumber = 0;
  attributeInstance = 0;
  runIndex = 0;
  runLength = 0;
  runOffset = 0;
  dataLength = 0;
}

ImageChunk ChunkOfSlot(const TransferSlot& slot) {
  ImageChunk c;
  c.recordNumber = slot.recordNumber;
  c.attributeInstance = slot.attributeInstance;
  c.runIndex = slot.runIndex;
  c.runLength = slot.runLength;
  c.runOffset = slot.runOffset;
  c.dataLength = slot.dataLength;
  return c;
}

void FillSlotHeader(TransferSlot& slot, const ImageChunk& chunk) {
  slot.recordNumber = chunk.recordNumber;
  slot.attributeInstance = chunk.attributeInstance;
  slot.runIndex = chunk.runIndex;
  slot.runLength = chunk.runLength;
  slot.runOffset = chunk.runOffset;
  slot.dataLength = chunk.dataLength;
}

bool TransferRing::Reset() {
  std::unique_lock<std::mutex> lock(mutex_);
  head_ = 0;
  count_ = 0;
  signals_ = 0;
  producerFinished_ = false;
  bool allocated = true;
  for (TransferSlot& slot : slots_) {
    slot.ClearHeader();
    // Fresh buffers every start; the previous task's are released here, so a
    // task that ended without tearing the ring down leaks nothing.
    slot.buffer.reset(new (std::nothrow) std::byte[kSlotBytes]);
    if (!slot.buffer) allocated = false;
  }
  if (!allocated) {
    for (TransferSlot& slot : slots_) slot.buffer.reset();
    buffersPresent_ = false;
    signalOpen_ = false;
    lock.unlock();
    signalled_.notify_all();
    freed_.notify_all();
    LogLess("transfer ring: cannot allocate %d buffers of %u bytes", kRingSlots, kSlotBytes);
    return false;
  }
  buffersPresent_ = true;
  signalOpen_ = true;
  return true;
}

void TransferRing::Teardown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (TransferSlot& slot : slots_) slot.buffer.reset();
    buffersPresent_ = false;
    signalOpen_ = false;
    signals_ = 0;
  }
  signalled_.notify_all();
  freed_.notify_all();
}

void TransferRing::CloseSignal() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signalOpen_ = false;
    signals_ = 0;
  }
  signalled_.notify_all();
}

bool TransferRing::SignalOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signalOpen_;
}

bool TransferRing::HasBuffers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return buffersPresent_;
}

int TransferRing::ProducerSlot() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!buffersPresent_ || count_ >= kRingSlots) return -1;
  return (head_ + count_) % kRingSlots;
}

void TransferRing::Commit() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ >= kRingSlots) return;  // nothing was produced: the ring is full
    count_ += 1;
    // The signal saturates at the ring size, as a semaphore with a maximum does;
    // a release beyond it is dropped, which is harmless because the consumer
    // goes by the count.
    if (!signalOpen_ || signals_ >= kRingSlots) return;
    signals_ += 1;
  }
  signalled_.notify_one();
}

int TransferRing::ConsumerSlot() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!buffersPresent_ || count_ <= 0) return -1;
  return head_;
}

void TransferRing::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ <= 0) return;  // nothing taken: keep head and count consistent
    count_ -= 1;
    head_ = head_ + 1 == kRingSlots ? 0 : head_ + 1;
  }
  freed_.notify_one();
}

bool TransferRing::WaitForSignal(std::optional<std::chrono::milliseconds> timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!signalOpen_) return false;
  auto ready = [this] { return signals_ > 0 || !signalOpen_ || producerFinished_; };
  if (timeout) {
    if (!signalled_.wait_for(lock, *timeout, ready)) return false;
  } else {
    signalled_.wait(lock, ready);
  }
  if (signals_ > 0 && signalOpen_) {
    signals_ -= 1;
    return true;
  }
  return false;
}

bool TransferRing::WaitForFreeSlot(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  freed_.wait_for(lock, timeout, [this] { return !buffersPresent_ || count_ < kRingSlots; });
  return buffersPresent_ && count_ < kRingSlots;
}

void TransferRing::MarkProducerFinished() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    producerFinished_ = true;
  }
  signalled_.notify_all();
}

int TransferRing::Head() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return head_;
}

int TransferRing::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

}  // namespace stow::engine
