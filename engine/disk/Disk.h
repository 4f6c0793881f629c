// CDisk: raw access to one volume or one physical disk, and the NTFS state built
// on it. A CDisk is owned by one thread and never shared.
//
// The implementation is split by concern:
//   Disk.cpp            opening, positioned reads and writes, locking
//   DiskPartitions.cpp  MBR, EBR and GPT tables, the active partition
//   DiskMft.cpp         the MFT reader: record cache, entry list, totals
//   DiskDestination.cpp the destination fix-up: bitmap, free extents, run lists,
//                       the resized $MFT and its mirror
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/disk/FileEntry.h"
#include "engine/disk/PartitionTable.h"
#include "engine/ntfs/RunList.h"
#include "platform/BlockDevice.h"
#include "platform/VolumeId.h"

namespace stow::engine {

// The destination fix-up's types (engine/destination/).
class FreeExtentList;
enum class RecordEdit;
struct DiskDestinationState;

// Result codes of the disk operations; the same numbers are the engine's task error codes.
enum DiskResult : int {
  kDiskOk = 0,
  kDiskNoDevice = 2,
  kDiskReadFailed = 3,
  kDiskShortRead = 4,
  kDiskEbrShortRead = 5,
  kDiskNoSuchEntry = 6,
  kDiskSeekFailed = 7,
  kDiskLockFailedForTable = 8,
  // Sector 0 lacks the 0x55AA signature: the disk has no MBR (and so no GPT either).
  kDiskNoPartitionTable = 9,
  kDiskLockNoDevice = 12,
  kDiskLockRefused = 13,
  kDiskUpdateFailed = 14,
  kDiskWriteFailed = 15,
  kDiskOpenFailed = 16,
  kDiskIsGpt = 17,
  kDiskAllocationFailed = 18,
  kDiskNoGptSignature = 19,
  // Refusals of hostile or unsupported tables and volumes (not in the original set).
  kDiskBadTable = 20,
  kDiskUnsupportedVolume = 21,
};

inline constexpr size_t kBootSectorSize = 512;
inline constexpr uint32_t kDefaultSectorSize = 512;
inline constexpr uint32_t kFileRecordSize = 1024;
inline constexpr uint32_t kRecordCacheRecords = 2048;

class CDisk {
 public:
  CDisk();
  ~CDisk();
  CDisk(const CDisk&) = delete;
  CDisk& operator=(const CDisk&) = delete;

  // --- Device access -------------------------------------------------------
  // Opens a volume and keeps a copy of its first sector: 0, or 16.
  [[nodiscard]] int InitDisk(const platform::VolumeId& volume, bool readOnly);
  // Opens a whole disk by its inventory number, for reading and writing: 0, or 16.
  [[nodiscard]] int OpenPhysicalDrive(int diskNumber);
  // Opens a whole disk (or a file standing in for one) by path: 0, or 16.
  [[nodiscard]] int OpenPhysicalDrivePath(const std::string& path, bool readOnly = false);
  // Takes an already open device (tests, fuzzers, stacked slices); reads the boot
  // sector copy as InitDisk does when `readBootSector` is set.
  void Attach(std::unique_ptr<platform::BlockDevice> device, bool readBootSector);

  bool IsOpen() const { return device_ != nullptr; }
  platform::BlockDevice* Device() { return device_.get(); }
  // System error of the last failed open, for messages.
  int LastOpenError() const { return lastOpenError_; }

  [[nodiscard]] int ReadFirstSector(std::span<std::byte, kBootSectorSize> buffer);
  // Sector-addressed transfers with the retry policy; they return the byte count
  // on success and 0 on failure.
  [[nodiscard]] uint32_t ReadPointData(void* buffer, uint32_t count, uint64_t startSector);
  [[nodiscard]] uint32_t WritePointData(const void* buffer, uint32_t count, uint64_t startSector);

  [[nodiscard]] int LockDisk();
  [[nodiscard]] bool UnlockDisk();
  [[nodiscard]] int UpdateDiskProperties();

  [[nodiscard]] int ReadPartitionTable(std::vector<PartitionTableEntry>& out);
  [[nodiscard]] int SetActivePartition(unsigned index);

  // --- Boot sector fields --------------------------------------------------
  const std::array<std::byte, kBootSectorSize>& BootSector() const { return bootSector_; }
  std::array<std::byte, kBootSectorSize>& MutableBootSector() { return bootSector_; }
  uint16_t BytesPerSector() const;
  // The sector size addresses are computed with: the boot sector's, or 512 when it is 0.
  uint32_t AddressingSectorSize() const;
  uint8_t SectorsPerCluster() const;
  uint64_t MftCluster() const;
  uint64_t MftMirrCluster() const;
  uint32_t ClustersPerFileRecordRaw() const;
  uint64_t TotalSectors() const;
  uint32_t ClusterSize() const { return BytesPerSector() * SectorsPerCluster(); }

  // --- NTFS metadata -------------------------------------------------------
  // 0 when the boot sector describes an NTFS volume this engine handles (512-byte
  // sectors, 1,024-byte file records, sane geometry); otherwise a DiskResult with
  // `why` set to a message for the user.
  [[nodiscard]] int CheckNtfsVolume(std::string* why = nullptr) const;
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
  uint64_t BuildEntryList(uint64_t& totalSectors, bool nonResidentOnly, uint64_t limit);
  // Records the last BuildEntryList could not read (a failed read of the $MFT):
  // their files are missing from the entry list.
  uint64_t UnreadRecords() const { return unreadRecords_; }
  uint64_t MftRecordCount() const;
  [[nodiscard]] bool LoadRecordCache();
  [[nodiscard]] bool FlushRecordCache();

  const std::vector<FileEntry>& Entries() const { return entries_; }
  std::vector<FileEntry>& MutableEntries() { return entries_; }

  // --- Destination fix-up (DiskDestination.cpp) ----------------------------
  // The volume's clusters: total sectors / sectors per cluster, bounded by the device.
  uint64_t VolumeClusterCount() const { return VolumeClusters(); }
  // Reads $Bitmap (entry 6 of the entry list) run by run and builds the
  // free-extent list. False, with no bitmap, when the entry list has fewer than
  // 7 entries or the bitmap cannot be read or does not cover the volume.
  [[nodiscard]] bool LoadBitmap();
  // Frees, in the bitmap, the clusters of the destination's own records that
  // the copied ones replace (every record of the entry list but 0, 6, 7 and 8),
  // and rebuilds the free-extent list. Returns the clusters freed.
  uint64_t ReleaseReplacedMetadata();
  // Takes the MFT zone [M, M + zone clusters) out of the free-extent list.
  void ReserveMftZone(uint64_t zoneClusters);
  // 0 when [M, M + clusters) lies inside the volume and holds no cluster in use
  // but the $MFT's own and those the fix-up moves ($Bitmap, the $MFT's
  // $BITMAP); else a task error code, logged.
  [[nodiscard]] int CheckMftRange(uint64_t clusters);
  // Gives record 0's $DATA the one run [M, M + clusters) with the sizes given,
  // writes it back and reloads record 0 and entry 0: 0, or a task error code.
  [[nodiscard]] int ResizeDestinationMft(uint64_t clusters, uint64_t dataSize,
                                         uint64_t initializedSize);
  // Writes `length` bytes at `offset` of the $MFT through its runs and keeps the
  // record cache's copy of them the same: true when every byte was written.
  [[nodiscard]] bool WriteMftBytes(uint64_t offset, const std::byte* data, uint32_t length);
  // 1 with the clusters granted, or 0 when the free-extent list is empty.
  [[nodiscard]] int AllocateClusters(uint64_t wanted, uint64_t& first, uint64_t& granted);
  int MarkClustersUsed(uint64_t first, uint64_t count);
  // Rewrites the run list of one attribute of a record in the record cache.
  [[nodiscard]] RecordEdit ChangeFileAttr(uint64_t record, uint16_t instance, uint64_t first,
                                          uint64_t count, bool append);
  // Copies the first records of the MFT into the $MFTMirr's clusters as record 1
  // names them, and points the boot sector and its backup at them: 0, or a task
  // error code.
  [[nodiscard]] int WriteMftMirror();
  // Writes the bitmap back run by run: 1, or 0 without a bitmap or on a failed write.
  [[nodiscard]] int WriteBitmap();
  const std::vector<std::byte>& Bitmap() const;
  std::vector<std::byte>& MutableBitmap();
  uint64_t BitmapLength() const;
  const std::vector<ntfs::DataRun>& BitmapRuns() const;
  void SetBitmapRuns(std::vector<ntfs::DataRun> runs);
  FreeExtentList& FreeExtents();
  // The MFT's runs as record 0 gives them.
  const std::vector<ntfs::DataRun>& MftRuns() const { return mftRuns_; }
  // Reads `length` bytes of the stream that `runs` place, from `offset`: false
  // when a byte lies outside the runs or cannot be read.
  [[nodiscard]] bool ReadStream(const std::vector<ntfs::DataRun>& runs, uint64_t offset,
                                std::byte* out, uint64_t length);

 private:
  [[nodiscard]] bool LoadRecordWindow(uint64_t base);
  // MFT reader helpers (DiskMft.cpp).
  [[nodiscard]] bool LoadMftRuns();
  [[nodiscard]] bool FollowMftAttributeList(uint64_t neededClusters);
  [[nodiscard]] bool ReadMftRecordAt(uint64_t record, std::vector<std::byte>& out);
  uint64_t VolumeClusters() const;

  std::array<std::byte, kBootSectorSize> bootSector_{};
  std::vector<std::byte> mftRecord_;
  std::unique_ptr<platform::BlockDevice> device_;
  int lastOpenError_ = 0;
  uint32_t fileRecordSize_ = 0;
  std::vector<FileEntry> entries_;

  // Destination state (DiskDestination.cpp): the volume's cluster bitmap, its
  // length in bytes, the runs of $Bitmap's data and the free extents.
  std::unique_ptr<DiskDestinationState> destination_;

  std::array<uint8_t, 16> extendedEntry_{};
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
