// MftReader's record cache: a window of 2,048 records read from the $MFT's
// runs, fixed up on demand, and written back only where it was read whole.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/disk/MftReader.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/ntfs/RunList.h"
#include "support/Format.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

constexpr uint64_t kNoWindow = UINT64_MAX;
constexpr size_t kWindowBytes = size_t{kRecordCacheRecords} * kFileRecordSize;

}  // namespace
// --- The record cache -------------------------------------------------------

bool MftReader::LoadRecordWindow(uint64_t base) {
  if (recordCache_.empty()) {
    recordCache_.assign(kWindowBytes, std::byte{0});
    windowFixedUp_.assign(kRecordCacheRecords, false);
    windowLoaded_.assign(kRecordCacheRecords, false);
  } else {
    std::fill(recordCache_.begin(), recordCache_.end(), std::byte{0});
    std::fill(windowFixedUp_.begin(), windowFixedUp_.end(), false);
    std::fill(windowLoaded_.begin(), windowLoaded_.end(), false);
  }
  windowBase_ = kNoWindow;
  if (mftRecord_.empty() && !LoadMftRecord()) return false;

  const uint64_t windowOffset = base * kFileRecordSize;
  std::vector<ntfs::VolumeExtent> pieces;
  ntfs::MapStreamRange(mftRuns_, device_.ClusterSize(), windowOffset, kWindowBytes, pieces);
  // Slots count as loaded only when every byte of them arrived.
  std::vector<uint32_t> arrived(kRecordCacheRecords, 0);
  bool ok = true;
  for (const ntfs::VolumeExtent& piece : pieces) {
    std::byte* at = recordCache_.data() + (piece.streamOffset - windowOffset);
    const auto count = static_cast<uint32_t>(piece.length);
    if (device_.ReadPointData(at, count, piece.volumeOffset / device_.AddressingSectorSize()) !=
        count) {
      std::fill(at, at + count, std::byte{0});
      LogLess("LoadRecordWindow: MFT bytes 0x%" PRIx64 "..0x%" PRIx64 " cannot be read",
              piece.streamOffset, piece.streamOffset + piece.length);
      ok = false;
      continue;
    }
    for (uint64_t b = piece.streamOffset; b < piece.streamOffset + piece.length;) {
      const uint64_t slot = (b - windowOffset) / kFileRecordSize;
      const uint64_t slotEnd = windowOffset + (slot + 1) * kFileRecordSize;
      const uint64_t stop = std::min(slotEnd, piece.streamOffset + piece.length);
      arrived[slot] += static_cast<uint32_t>(stop - b);
      b = stop;
    }
  }
  for (size_t slot = 0; slot < kRecordCacheRecords; ++slot) {
    windowLoaded_[slot] = arrived[slot] == kFileRecordSize;
  }
  windowBase_ = base;
  return ok;
}

std::byte* MftReader::ReadFileRecord(uint32_t record, bool forceReload, bool applyFixup,
                                     bool flushFirst) {
  const uint64_t base = record - record % kRecordCacheRecords;
  // A window is read once: a slot whose own number does not match (an unused
  // record) is answered from the window in memory instead of re-reading 2 MiB.
  // Headers of the older layout have no number field; their position names them.
  if (forceReload || windowBase_ != base) {
    // Changed records of the current window must reach the disk before the
    // window is replaced, or they would be lost.
    if (flushFirst && windowBase_ != kNoWindow && !FlushRecordCache()) {
      LogLess("ReadFileRecord: the MFT records from 0x%llx could not be written back",
              static_cast<unsigned long long>(windowBase_));
      return nullptr;
    }
    // A partly read window marks the slots that arrived; the others answer nullptr.
    static_cast<void>(LoadRecordWindow(base));
  }
  if (windowBase_ != base) return nullptr;
  const size_t slot = record % kRecordCacheRecords;
  const MutableBytes bytes(recordCache_.data() + slot * kFileRecordSize, kFileRecordSize);
  if (!windowLoaded_[slot] || !ntfs::RecordNumberAgrees(bytes, record)) return nullptr;
  // Applied on every fetch that asks for it: a caller may have put the record back
  // in on-disk form, and applying the fix-up to a fixed-up record changes nothing.
  if (applyFixup) {
    if (!ntfs::ApplyFixup(bytes)) return nullptr;
    windowFixedUp_[slot] = true;
  }
  return bytes.data();
}

bool MftReader::LoadRecordCache() { return LoadRecordWindow(0); }

namespace {

// Writes the parts of the window that were read whole; a slot that could not be
// read holds zeros, and writing it would wipe the record on disk.
bool WriteLoadedRanges(DiskDevice& disk, const std::byte* window, const std::vector<bool>& loaded,
                       uint64_t windowOffset, const std::vector<ntfs::VolumeExtent>& pieces) {
  bool ok = true;
  for (const ntfs::VolumeExtent& piece : pieces) {
    const uint64_t end = piece.streamOffset + piece.length;
    for (uint64_t b = piece.streamOffset; b < end;) {
      const bool isLoaded = loaded[(b - windowOffset) / kFileRecordSize];
      uint64_t stop = b;
      while (stop < end && loaded[(stop - windowOffset) / kFileRecordSize] == isLoaded) {
        stop = std::min(
            end, windowOffset + ((stop - windowOffset) / kFileRecordSize + 1) * kFileRecordSize);
      }
      if (isLoaded) {
        const auto count = static_cast<uint32_t>(stop - b);
        const uint64_t sector =
            (piece.volumeOffset + (b - piece.streamOffset)) / disk.AddressingSectorSize();
        if (disk.WritePointData(window + (b - windowOffset), count, sector) != count) ok = false;
      }
      b = stop;
    }
  }
  return ok;
}

}  // namespace

bool MftReader::FlushRecordCache() {
  if (recordCache_.empty() || windowBase_ == kNoWindow || mftRecord_.empty()) return false;
  if (!device_.IsOpen() || !device_.Device()->IsWritable()) {
    LogLess("FlushRecordCache: the volume is open read-only");
    return false;
  }
  // Records handed out with the fix-up applied go back to disk in on-disk form, or
  // the next reader would find their block ends where the sequence number belongs.
  // They are turned back in place and fixed up again after the write.
  auto eachFixedUpSlot = [this](bool (*change)(MutableBytes)) {
    for (size_t slot = 0; slot < kRecordCacheRecords; ++slot) {
      if (windowFixedUp_[slot]) {
        change(MutableBytes(recordCache_.data() + slot * kFileRecordSize, kFileRecordSize));
      }
    }
  };
  const uint64_t windowOffset = windowBase_ * kFileRecordSize;
  std::vector<ntfs::VolumeExtent> pieces;
  ntfs::MapStreamRange(mftRuns_, device_.ClusterSize(), windowOffset, kWindowBytes, pieces);
  eachFixedUpSlot(ntfs::UndoFixupWhereApplied);
  const bool ok =
      WriteLoadedRanges(device_, recordCache_.data(), windowLoaded_, windowOffset, pieces);
  eachFixedUpSlot(ntfs::ApplyFixup);
  return ok;
}

bool MftReader::WriteMftBytes(uint64_t offset, const std::byte* data, uint32_t length) {
  std::vector<ntfs::VolumeExtent> pieces;
  ntfs::MapStreamRange(mftRuns_, device_.ClusterSize(), offset, length, pieces);
  uint64_t done = 0;
  for (const ntfs::VolumeExtent& piece : pieces) {
    const auto count = static_cast<uint32_t>(piece.length);
    if (piece.streamOffset != offset + done ||
        device_.WritePointData(data + done, count,
                               piece.volumeOffset / device_.AddressingSectorSize()) != count) {
      return false;
    }
    done += piece.length;
  }
  if (done != length) return false;
  // The cached window must not write older bytes over these at its next flush.
  if (recordCache_.empty() || windowBase_ == kNoWindow) return true;
  const uint64_t windowStart = windowBase_ * kFileRecordSize;
  const uint64_t windowEnd = windowStart + kWindowBytes;
  const uint64_t from = std::max(offset, windowStart);
  const uint64_t to = std::min(offset + length, windowEnd);
  if (from >= to) return true;
  for (uint64_t slot = (from - windowStart) / kFileRecordSize;
       slot <= (to - 1 - windowStart) / kFileRecordSize; ++slot) {
    if (windowFixedUp_[slot]) {
      // A record only partly overwritten keeps its other part in on-disk form too.
      if (!ntfs::UndoFixupWhereApplied(
              MutableBytes(recordCache_.data() + slot * kFileRecordSize, kFileRecordSize))) {
        const uint64_t record = windowBase_ + slot;
        LogLess("WriteMftBytes: cached record 0x%llx has a damaged update sequence",
                static_cast<unsigned long long>(record));
        return false;
      }
      windowFixedUp_[slot] = false;
    }
  }
  std::memcpy(recordCache_.data() + (from - windowStart), data + (from - offset), to - from);
  return true;
}

}  // namespace stow::engine
