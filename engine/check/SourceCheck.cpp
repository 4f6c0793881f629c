#include "engine/check/SourceCheck.h"

#include <algorithm>
#include <cinttypes>
#include <vector>

#include "engine/check/VolumeCheck.h"
#include "engine/core/TaskError.h"
#include "engine/disk/Disk.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/ntfs/RunList.h"
#include "platform/BlockDevice.h"
#include "platform/VolumeUse.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

constexpr uint32_t kAttrBitmap = 0xB0;
constexpr uint64_t kBitsPerByte = 8;
// The $MFT is read in pieces of this size (a whole number of records).
constexpr uint64_t kPieceBytes = uint64_t{1024} * 1024;
constexpr const char* kRunDiskCheck =
    "a restore or copy of it would fail; run a disk check on Windows (chkdsk /f) on the "
    "source first";

// The $MFT's $BITMAP: one bit per record, set for a record in use. `found` is
// false when record 0 has no unnamed $BITMAP (it may have moved to an extension
// record): every record then counts as marked, the strictest reading.
struct MftBitmap {
  bool found = false;
  std::vector<std::byte> bits;
};

bool ReadMftBitmap(CDisk& disk, uint64_t records, MftBitmap& out, std::string& reason) {
  const uint64_t needed = records / kBitsPerByte + (records % kBitsPerByte != 0 ? 1 : 0);
  ntfs::AttributeWalker walk(disk.Mft().MftRecord());
  for (ntfs::Attribute a; walk.Next(a);) {
    if (a.type != kAttrBitmap || a.nameLength != 0) continue;
    Bytes value;
    if (ntfs::ResidentValue(a.bytes, value)) {
      out.bits.assign(value.begin(), value.end());
      out.found = true;
      return true;
    }
    ntfs::NonResidentHeader header;
    std::vector<ntfs::DataRun> runs;
    const ntfs::RunListError error = ntfs::DecodeAttributeRuns(a.bytes, runs);
    if (!ntfs::ReadNonResidentHeader(a.bytes, header) || error != ntfs::RunListError::kNone) {
      reason = std::string("the run list of the $MFT's $BITMAP (MFT record 0) is damaged: ") +
               ntfs::RunListErrorText(error);
      return false;
    }
    // Only the bits of existing records are read; a hostile size reads no more.
    out.bits.assign(std::min(header.dataSize, needed), std::byte{0});
    if (!disk.Mft().ReadStream(runs, 0, out.bits.data(), out.bits.size())) {
      reason = "the $MFT's $BITMAP (MFT record 0) cannot be read";
      return false;
    }
    out.found = true;
    return true;
  }
  return true;
}

}  // namespace

TaskError CheckSourceRecords(CDisk& disk, std::string& reason) {
  std::string why;
  if (disk.Mft().CheckNtfsVolume(&why) != DiskResult::kOk) {
    reason = "the source is not an NTFS volume this program handles: " + why;
    return TaskError::kSourceReadFailed;
  }
  if (!disk.Mft().LoadMftRecord()) {
    reason = "the source's $MFT cannot be read (MFT record 0 or its run list is damaged); " +
             std::string(kRunDiskCheck);
    return TaskError::kSourceReadFailed;
  }
  const uint64_t records = disk.Mft().MftRecordCount();
  MftBitmap bitmap;
  if (!ReadMftBitmap(disk, records, bitmap, why)) {
    reason = why + "; " + kRunDiskCheck;
    return TaskError::kSourceInconsistent;
  }
  VolumeCheck check(disk.Mft().VolumeClusterCount());
  const uint64_t total = records * kFileRecordSize;
  std::vector<std::byte> piece(kPieceBytes);
  std::vector<std::byte> record;
  for (uint64_t offset = 0; offset < total; offset += kPieceBytes) {
    const uint64_t length = std::min(kPieceBytes, total - offset);
    if (!disk.Mft().ReadStream(disk.Mft().MftRuns(), offset, piece.data(), length)) {
      reason = "the source's $MFT cannot be read at byte " + std::to_string(offset) +
               " (MFT records " + std::to_string(offset / kFileRecordSize) + ".." +
               std::to_string((offset + length) / kFileRecordSize - 1) + ")";
      return TaskError::kSourceReadFailed;
    }
    for (uint64_t at = 0; at < length; at += kFileRecordSize) {
      const uint64_t n = (offset + at) / kFileRecordSize;
      const Bytes onDisk(piece.data() + at, kFileRecordSize);
      const bool marked = !bitmap.found || BitmapBit(bitmap.bits, n);
      const RecordUse use = check.ExamineRecord(n, onDisk, marked, record);
      if (use == RecordUse::kUnused) continue;
      if (use == RecordUse::kDamaged || !check.CheckRecord(n, record)) {
        reason = "the source's " + check.Why() + "; " + kRunDiskCheck;
        LogLess("source check: %s", reason.c_str());
        return TaskError::kSourceInconsistent;
      }
    }
  }
  LogDebug("source check: %" PRIu64 " records, %" PRIu64 " clusters in use, all consistent",
           records, check.ClustersInUse());
  return TaskError::kNone;
}

TaskError CheckSourceNotWritable(const platform::VolumeId& volume, std::string& reason) {
  platform::VolumeUse use;
  // A volume the system cannot describe (a test device, a name that is not a
  // path) is mounted nowhere.
  if (platform::QueryVolumeUse(volume.DevicePath(), use) != 0 || !use.mountedReadWrite) {
    return TaskError::kNone;
  }
  reason = volume.DisplayName() + " is mounted read-write on " + use.writableMountPoint +
           " and can change while it is read; unmount it (umount " + use.writableMountPoint +
           ") or remount it read-only (mount -o remount,ro " + use.writableMountPoint + ") first";
  return TaskError::kSourceMountedWritable;
}

TaskError CheckSourceVolume(const platform::VolumeId& volume, std::string& reason) {
  if (const TaskError mounted = CheckSourceNotWritable(volume, reason);
      mounted != TaskError::kNone) {
    return mounted;
  }
  CDisk disk;
  if (disk.InitDisk(volume, true) != DiskResult::kOk) {
    reason = "cannot open " + volume.DisplayName() + ": " +
             platform::SystemErrorText(disk.Device().LastOpenError());
    return TaskError::kSourceReadFailed;
  }
  return CheckSourceRecords(disk, reason);
}

}  // namespace stow::engine
