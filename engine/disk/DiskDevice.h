// DiskDevice: raw access to one volume or one physical disk: opening,
// positioned reads and writes with the retry policy, locking and the boot
// sector's fields (DiskDevice.cpp), and the partition tables
// (DiskPartitions.cpp). The first layer of a CDisk (engine/disk/Disk.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/disk/PartitionTable.h"
#include "platform/BlockDevice.h"
#include "platform/VolumeId.h"

namespace stow::engine {

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

class DiskDevice {
 public:
  DiskDevice() = default;
  ~DiskDevice() = default;
  DiskDevice(const DiskDevice&) = delete;
  DiskDevice& operator=(const DiskDevice&) = delete;

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

 protected:
  std::array<std::byte, kBootSectorSize> bootSector_{};
  std::unique_ptr<platform::BlockDevice> device_;
  int lastOpenError_ = 0;
  std::array<uint8_t, 16> extendedEntry_{};
};

}  // namespace stow::engine
