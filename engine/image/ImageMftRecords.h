// Reads file records of the source's $MFT where an image holds them, through
// the places the stream tracker has noted, a window of records at a time: the
// image survey's reader of the $MFT it checks the blocks against.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/image/ImageFormat.h"
#include "platform/BlockDevice.h"
#include "support/Bytes.h"

namespace stow::engine {

class MftStreamTracker;

class ImageMftRecords {
 public:
  enum class Got { kRecord, kNotPlaced, kReadFailed };

  ImageMftRecords(platform::BlockDevice& file, ImageRetry retry) : file_(file), retry_(retry) {}

  // Copies record `n` (of `limit`) in on-disk form into `out`; `location` is
  // the image offset of its first byte.
  Got Read(const MftStreamTracker& mft, uint64_t n, uint64_t limit, MutableBytes out,
           uint64_t& location);
  uint64_t FailedOffset() const { return failedOffset_; }

 private:
  Got Load(const MftStreamTracker& mft, uint64_t n, uint64_t limit);
  [[nodiscard]] bool ReadAt(uint64_t offset, MutableBytes out);

  platform::BlockDevice& file_;
  ImageRetry retry_;
  uint64_t first_ = 0;
  uint64_t count_ = 0;
  std::vector<std::byte> window_;
  std::vector<uint64_t> locations_;
  uint64_t failedOffset_ = 0;
};

}  // namespace stow::engine
