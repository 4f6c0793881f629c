// MftReader: the NTFS state built on a DiskDevice (MftReader.cpp): the volume
// checks, record 0 and the $MFT's runs, the record cache and its write-back,
// the entry list and its totals. It reads and writes through the DiskDevice it
// is given, which must outlive it; a CDisk (Disk.h) owns both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/disk/DiskDevice.h"
#include "engine/disk/FileEntry.h"
#include "engine/ntfs/RunList.h"

namespace stow::engine {

class MftReader {
 public:
  explicit MftReader(DiskDevice& device) : device_(device) {}
  MftReader(const MftReader&) = delete;
  MftReader& operator=(const MftReader&) = delete;
  MftReader(MftReader&&) = delete;
  MftReader& operator=(MftReader&&) = delete;

  // The device the records are read from and written to.
  DiskDevice& Device() { return device_; }
  const DiskDevice& Device() const { return device_; }

  // kOk when the boot sector describes an NTFS volume this engine handles
  // (512-byte sectors, 1,024-byte file records, sane geometry); otherwise
  // kNoDevice or kUnsupportedVolume with `why` set to a message for the user.
  [[nodiscard]] DiskResult CheckNtfsVolume(std::string* why = nullptr) const;
  // File record size computed from the boot sector.
  uint32_t ComputeFileRecordSize() const;
  uint32_t FileRecordSize() const { return fileRecordSize_; }

  // Reads record 0 into the MFT record buffer (fix-ups applied); false on failure.
  [[nodiscard]] bool LoadMftRecord();
  const std::vector<std::byte>& MftRecord() const { return mftRecord_; }
  // The record from the cache, or nullptr when it cannot be fetched. The fix-up is
  // applied in place; FlushRecordCache writes such records back in on-disk form.
  std::byte* ReadFileRecord(uint32_t record, bool forceReload, bool applyFixup, bool flushFirst);
  // Visits `limit` records (0: all) and returns the number visited; `totalSectors`
  // receives the 512-byte sectors of the non-resident attributes, $BadClus excepted.
  // Records not in use contribute no attributes. Returns 0, with an empty list, when
  // the volume is refused or its $MFT cannot be read: a real volume has records.
  [[nodiscard]] uint64_t BuildEntryList(uint64_t& totalSectors, bool nonResidentOnly,
                                        uint64_t limit);
  // Records the last BuildEntryList could not read (a failed read of the $MFT):
  // their files are missing from the entry list.
  uint64_t UnreadRecords() const { return unreadRecords_; }
  uint64_t MftRecordCount() const;
  [[nodiscard]] bool LoadRecordCache();
  [[nodiscard]] bool FlushRecordCache();
  // Writes `length` bytes at `offset` of the $MFT through its runs and keeps the
  // record cache's copy of them the same: true when every byte was written.
  [[nodiscard]] bool WriteMftBytes(uint64_t offset, const std::byte* data, uint32_t length);

  const std::vector<FileEntry>& Entries() const { return entries_; }
  std::vector<FileEntry>& MutableEntries() { return entries_; }
  // The volume's clusters: total sectors / sectors per cluster, bounded by the device.
  uint64_t VolumeClusterCount() const { return VolumeClusters(); }
  // The MFT's runs as record 0 gives them.
  const std::vector<ntfs::DataRun>& MftRuns() const { return mftRuns_; }
  // Reads `length` bytes of the stream that `runs` place, from `offset`: false
  // when a byte lies outside the runs or cannot be read.
  [[nodiscard]] bool ReadStream(const std::vector<ntfs::DataRun>& runs, uint64_t offset,
                                std::byte* out, uint64_t length);

 private:
  [[nodiscard]] bool LoadRecordWindow(uint64_t base);
  [[nodiscard]] bool LoadMftRuns();
  [[nodiscard]] bool FollowMftAttributeList(uint64_t neededClusters);
  [[nodiscard]] bool ReadMftRecordAt(uint64_t record, std::vector<std::byte>& out);
  uint64_t VolumeClusters() const;

  DiskDevice& device_;
  uint32_t fileRecordSize_ = 0;
  std::vector<std::byte> mftRecord_;
  std::vector<FileEntry> entries_;
  std::vector<std::byte> recordCache_;  // kRecordCacheRecords records once allocated
  // The record number of the cache's first slot; UINT64_MAX while no window is loaded.
  uint64_t windowBase_ = UINT64_MAX;
  // Slots whose record the cache holds with the fix-up applied.
  std::vector<bool> windowFixedUp_;
  // Slots whose record was read whole; the others hold zeros and are never written.
  std::vector<bool> windowLoaded_;
  // The $MFT's runs (all extents) and data size, read by LoadMftRecord.
  std::vector<ntfs::DataRun> mftRuns_;
  uint64_t mftDataSize_ = 0;
  uint64_t unreadRecords_ = 0;
};

}  // namespace stow::engine
