#include "engine/image/ImageMftRecords.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "engine/image/MftExtents.h"

namespace stow::engine {
namespace {

// Records are read from the image's $MFT in windows of this many, fewer where
// the part of the $MFT placed so far ends.
constexpr uint64_t kWindowRecords[] = {256, 16, 1};

}  // namespace

ImageMftRecords::Got ImageMftRecords::Read(const MftStreamTracker& mft, uint64_t n, uint64_t limit,
                                           MutableBytes out, uint64_t& location) {
  if (n < first_ || n - first_ >= count_) {
    const Got got = Load(mft, n, limit);
    if (got != Got::kRecord) return got;
  }
  const size_t at = static_cast<size_t>((n - first_) * kMftRecordBytes);
  std::copy_n(window_.begin() + static_cast<std::ptrdiff_t>(at), kMftRecordBytes, out.begin());
  location = locations_[static_cast<size_t>(n - first_)];
  return Got::kRecord;
}

ImageMftRecords::Got ImageMftRecords::Load(const MftStreamTracker& mft, uint64_t n,
                                           uint64_t limit) {
  count_ = 0;
  std::vector<std::pair<uint64_t, uint64_t>> pieces;
  for (const uint64_t want : kWindowRecords) {
    const uint64_t records = std::min(want, limit - n);
    if (!mft.Locate(n * kMftRecordBytes, records * kMftRecordBytes, pieces)) continue;
    window_.resize(static_cast<size_t>(records * kMftRecordBytes));
    locations_.clear();
    uint64_t at = 0;
    for (const auto& [location, length] : pieces) {
      if (!ReadAt(location, MutableBytes(window_.data() + at, static_cast<size_t>(length)))) {
        failedOffset_ = location;
        return Got::kReadFailed;
      }
      // The image offset of each record that starts in this piece.
      for (uint64_t r = (at + kMftRecordBytes - 1) / kMftRecordBytes * kMftRecordBytes;
           r < at + length; r += kMftRecordBytes) {
        locations_.push_back(location + (r - at));
      }
      at += length;
    }
    first_ = n;
    count_ = records;
    return Got::kRecord;
  }
  return Got::kNotPlaced;
}

bool ImageMftRecords::ReadAt(uint64_t offset, MutableBytes out) {
  for (int attempt = 0; attempt < std::max(1, retry_.attempts); ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(retry_.delay);
    const platform::IoResult io = file_.ReadAt(offset, out);
    if (io.error == 0 && io.bytes == out.size()) return true;
  }
  return false;
}

}  // namespace stow::engine
