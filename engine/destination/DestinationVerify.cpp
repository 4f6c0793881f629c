#include "engine/destination/DestinationVerify.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <memory>
#include <span>

#include "engine/core/TaskError.h"
#include "engine/image/ImageChecksums.h"
#include "platform/BlockDevice.h"
#include "support/Bytes.h"
#include "support/Format.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

// One read request: large enough that the device streams, small enough that
// a stop is answered at once.
constexpr uint64_t kReadBytes = 16ull << 20;
// Neighbours this close are read in one request, the bytes between included:
// reading them costs less than a second request.
constexpr uint64_t kMaxGapBytes = 256ull << 10;

std::string Advice(const char* task) {
  return FormatString(
      "the destination device may be failing or its connection may be unreliable: check its "
      "health (smartctl -a) and its cable, then run the %s again, or %s onto another device",
      task, task);
}

// One read request: ranges [first, last), bytes [start, end) of the device.
struct Batch {
  size_t first = 0;
  size_t last = 0;
  uint64_t start = 0;
  uint64_t end = 0;
};

// The request that begins with range `first` of the sorted `ranges`: its
// neighbours as long as they are close and fit `limit` bytes. `first` past
// the end gives a batch with first == ranges.size().
Batch NextBatch(const std::vector<WrittenRange>& ranges, size_t first, uint64_t limit) {
  Batch b;
  b.first = first;
  b.last = first;
  if (first >= ranges.size()) return b;
  b.start = ranges[first].offset;
  b.end = b.start + ranges[first].length;
  for (b.last = first + 1; b.last < ranges.size(); ++b.last) {
    const WrittenRange& r = ranges[b.last];
    const uint64_t end = std::max(b.end, r.offset + r.length);
    if (r.offset > b.end + kMaxGapBytes || end - b.start > limit) break;
    b.end = end;
  }
  return b;
}

std::string RangeText(const WrittenRange& r) {
  return FormatString("Bytes %" PRIu64 " to %" PRIu64
                      " of the destination (data of MFT record %" PRIu64 " of the source)",
                      r.offset, r.offset + r.length - 1, r.record);
}

}  // namespace

TaskError VerifyWrittenRanges(platform::BlockDevice& device, std::vector<WrittenRange> ranges,
                              const VerifyRun& run, std::string& detail) {
  std::sort(ranges.begin(), ranges.end(),
            [](const WrittenRange& a, const WrittenRange& b) { return a.offset < b.offset; });
  // Everything written must have reached the storage before its cached copy
  // can be dropped; what is read after that comes from the storage.
  const auto flushStart = std::chrono::steady_clock::now();
  if (const int error = device.Flush(); error != 0) {
    detail = "the destination cannot be flushed before it is read back: " +
             platform::SystemErrorText(error);
    return TaskError::kWriteFailed;
  }
  if (const int error = device.DropCachedData(0, 0); error != 0) {
    detail = "the system's cached copy of the destination cannot be dropped, so it cannot be read "
             "back from the device: " +
             platform::SystemErrorText(error);
    return TaskError::kVerifyFailed;
  }
  LogDebug("verify: the destination flushed in %lld ms",
           static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - flushStart)
                                      .count()));
  uint64_t longest = 0;
  for (const WrittenRange& r : ranges) longest = std::max(longest, r.length);
  std::vector<std::byte> buffer(std::max(kReadBytes, longest));
  Batch batch = NextBatch(ranges, 0, buffer.size());
  while (batch.first < ranges.size()) {
    if (run.stop != nullptr && run.stop->load()) return TaskError::kManualStop;
    const std::span<std::byte> piece(buffer.data(), batch.end - batch.start);
    const platform::IoResult read = device.ReadAt(batch.start, piece);
    // The next request is under way while this one is compared.
    const Batch next = NextBatch(ranges, batch.last, buffer.size());
    if (next.first < ranges.size()) {
      static_cast<void>(device.Prefetch(next.start, next.end - next.start));
    }
    for (size_t k = batch.first; k < batch.last; ++k) {
      const WrittenRange& r = ranges[k];
      const uint64_t at = r.offset - batch.start;
      if (read.bytes < at + r.length) {
        const std::string why = read.error != 0 ? platform::SystemErrorText(read.error)
                                                : std::string("the device ends before it");
        LogLess("verify: reading back %" PRIu64 " bytes at byte %" PRIu64 " failed: %s",
                batch.end - batch.start, batch.start, why.c_str());
        detail = RangeText(r) + " cannot be read back: " + why + "; " + Advice(run.task);
        return TaskError::kVerifyFailed;
      }
      if (Xxh3(Bytes(piece.data() + at, r.length)) != r.hash) {
        LogLess("verify: %" PRIu64 " bytes at byte %" PRIu64 " (record %" PRIu64
                ") read back differently from what was written",
                r.length, r.offset, r.record);
        detail = RangeText(r) + " read back differently from what was written; " + Advice(run.task);
        return TaskError::kVerifyFailed;
      }
      if (run.done != nullptr) run.done->fetch_add(r.length);
    }
    // What was compared need not stay cached: a long read-back would
    // otherwise push everything else out of memory.
    static_cast<void>(device.DropCachedData(batch.start, batch.end - batch.start));
    batch = next;
  }
  return TaskError::kNone;
}

}  // namespace stow::engine
