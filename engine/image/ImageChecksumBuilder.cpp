// ChecksumBuilder: the checksums of an image collected while it is written,
// cut into the stretches the image reader hands out, and the hashing thread
// that lets a writer write while the bytes are hashed.
#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "engine/image/ImageChecksums.h"
#include "engine/image/ImageFormat.h"

namespace stow::engine {

// The hashing half of the builder: the stretch and whole-image states and the
// stretch checksums in order, fed by a queue of steps. Without a worker every
// step runs at once. With one, a step of many bytes wakes the worker; the
// small steps (records, the ends of stretches, the data of small runs) wait
// for it or for Settle(), which runs what is left on the caller's thread:
// waking a thread costs more than hashing a few bytes.
struct ChecksumBuilder::Hasher {
  // The piece both states take in turn: small enough to be read from the
  // cache the second time.
  static constexpr size_t kPiece = size_t{64} * 1024;
  // Steps of at least this many bytes are hashed by the worker at once.
  static constexpr size_t kWakeBytes = size_t{128} * 1024;
  static constexpr size_t kKept = std::max(kImageHeaderSize, kBlockRecordSize);

  struct Step {
    std::span<const std::byte> bytes;  // the caller's bytes, when not kept
    std::array<std::byte, kKept> kept{};
    size_t keptSize = 0;
    bool endStretch = false;  // the stretch ends here: its checksum is taken
  };

  Xxh3Stream whole;
  Xxh3Stream stretch;
  std::vector<uint64_t> digests;  // one per finished stretch, in order

  std::thread worker;
  std::mutex mutex;
  std::condition_variable kick;     // the worker has steps to take
  std::condition_variable settled;  // nobody is hashing any more
  std::deque<Step> steps;
  bool kicked = false;
  bool running = false;  // a thread is hashing steps taken from the queue
  bool stopping = false;

  ~Hasher() {
    if (!worker.joinable()) return;
    {
      const std::lock_guard lock(mutex);
      // Bytes still queued may no longer exist: they are dropped, not read.
      steps.clear();
      stopping = true;
    }
    kick.notify_all();
    worker.join();
  }

  void Start() {
    if (!worker.joinable()) worker = std::thread([this] { Loop(); });
  }

  void Submit(const Step& step) {
    if (!worker.joinable()) {
      Run(step);
      return;
    }
    const bool wake = step.keptSize == 0 && step.bytes.size() >= kWakeBytes;
    {
      const std::lock_guard lock(mutex);
      steps.push_back(step);
      if (wake) kicked = true;
    }
    if (wake) kick.notify_one();
  }

  void Settle() {
    if (!worker.joinable()) return;
    std::unique_lock lock(mutex);
    settled.wait(lock, [&] { return !running; });
    RunQueued(lock);
  }

  // Hashes every queued step; called under the lock while nobody is hashing.
  void RunQueued(std::unique_lock<std::mutex>& lock) {
    running = true;
    kicked = false;
    while (!steps.empty()) {
      std::deque<Step> taken;
      taken.swap(steps);
      lock.unlock();
      for (const Step& step : taken) Run(step);
      lock.lock();
    }
    running = false;
    settled.notify_all();
  }

  void Run(const Step& step) {
    if (step.endStretch) {
      digests.push_back(stretch.Digest());
      stretch.Reset();
      return;
    }
    std::span<const std::byte> bytes = step.bytes;
    if (step.keptSize != 0) bytes = std::span<const std::byte>(step.kept).first(step.keptSize);
    while (!bytes.empty()) {
      const std::span<const std::byte> piece = bytes.first(std::min(bytes.size(), kPiece));
      stretch.Update(piece);
      whole.Update(piece);
      bytes = bytes.subspan(piece.size());
    }
  }

  void Loop() {
    std::unique_lock lock(mutex);
    for (;;) {
      kick.wait(lock, [&] { return stopping || (kicked && !running); });
      if (stopping) return;
      RunQueued(lock);
    }
  }
};

ChecksumBuilder::ChecksumBuilder() : hasher_(std::make_unique<Hasher>()) {}

ChecksumBuilder::~ChecksumBuilder() = default;

void ChecksumBuilder::HashInBackground() { hasher_->Start(); }

void ChecksumBuilder::Settle() { hasher_->Settle(); }

void ChecksumBuilder::Open(uint64_t offset) {
  Close();
  sums_.entries.push_back(ChecksumEntry{offset, 0, 0});
  open_ = true;
}

void ChecksumBuilder::Close() {
  if (!open_) return;
  Hasher::Step step;
  step.endStretch = true;
  hasher_->Submit(step);
  open_ = false;
}

void ChecksumBuilder::Feed(std::span<const std::byte> bytes, bool copy) {
  sums_.entries.back().length += bytes.size();
  end_ += bytes.size();
  Hasher::Step step;
  if (copy && bytes.size() <= step.kept.size()) {
    std::copy(bytes.begin(), bytes.end(), step.kept.begin());
    step.keptSize = bytes.size();
  } else {
    step.bytes = bytes;
  }
  hasher_->Submit(step);
}

void ChecksumBuilder::Header(std::span<const std::byte> header) {
  if (broken_) return;
  if (end_ != 0 || header.size() != kImageHeaderSize) {
    broken_ = true;
    return;
  }
  Open(0);
  Feed(header, true);
  Close();
}

void ChecksumBuilder::Record(uint64_t offset, std::span<const std::byte> record, uint64_t runLength,
                             bool carriesData) {
  if (broken_) return;
  if (end_ == 0 || offset != end_ || runLeft_ != 0 || record.size() != kBlockRecordSize) {
    broken_ = true;
    return;
  }
  Open(offset);
  Feed(record, true);
  runLeft_ = carriesData ? runLength : 0;
  runConsumed_ = 0;
}

void ChecksumBuilder::Data(uint64_t offset, std::span<const std::byte> bytes) {
  if (broken_) return;
  if (!open_ || offset != end_ || bytes.size() > runLeft_) {
    broken_ = true;
    return;
  }
  while (!bytes.empty()) {
    const uint64_t toBoundary = kImageChunkBytes - runConsumed_ % kImageChunkBytes;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(bytes.size(), toBoundary));
    Feed(bytes.first(take), false);
    bytes = bytes.subspan(take);
    runConsumed_ += take;
    runLeft_ -= take;
    if (runConsumed_ % kImageChunkBytes == 0 && runLeft_ != 0) Open(end_);
  }
}

ImageChecksums ChecksumBuilder::Finish() {
  if (runLeft_ != 0) broken_ = true;
  Close();
  hasher_->Settle();
  if (hasher_->digests.size() != sums_.entries.size()) {
    broken_ = true;
  } else {
    for (size_t i = 0; i < sums_.entries.size(); ++i) sums_.entries[i].hash = hasher_->digests[i];
  }
  sums_.imageSize = end_;
  sums_.wholeHash = hasher_->whole.Digest();
  return sums_;
}

}  // namespace stow::engine
