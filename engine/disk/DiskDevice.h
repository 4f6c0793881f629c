// DiskDevice: raw access to one volume or one physical disk: opening,
// positioned reads and writes with the retry policy, locking and a copy of the
// first sector with the boot sector's fields. The partition tables
// (DiskPartitions.h) and the MFT reader (MftReader.h) work through one; a
// CDisk (Disk.h) owns one of each.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "engine/core/DiskResult.h"
#include "platform/BlockDevice.h"
#include "platform/VolumeId.h"

namespace stow::engine {

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
  DiskDevice(DiskDevice&&) = delete;
  DiskDevice& operator=(DiskDevice&&) = delete;

  // --- Device access -------------------------------------------------------
  // Opens a volume and keeps a copy of its first sector: kOk, or kOpenFailed.
  [[nodiscard]] DiskResult InitDisk(const platform::VolumeId& volume, bool readOnly);
  // Opens a whole disk by its inventory number, for reading and writing: kOk, or kOpenFailed.
  [[nodiscard]] DiskResult OpenPhysicalDrive(int diskNumber);
  // Opens a whole disk (or a file standing in for one) by path: kOk, or kOpenFailed.
  [[nodiscard]] DiskResult OpenPhysicalDrivePath(const std::string& path, bool readOnly = false);
  // Takes an already open device (tests, fuzzers, stacked slices); reads the boot
  // sector copy as InitDisk does when `readBootSector` is set.
  void Attach(std::unique_ptr<platform::BlockDevice> device, bool readBootSector);

  bool IsOpen() const { return device_ != nullptr; }
  platform::BlockDevice* Device() { return device_.get(); }
  const platform::BlockDevice* Device() const { return device_.get(); }
  // System error of the last failed open, for messages.
  int LastOpenError() const { return lastOpenError_; }

  [[nodiscard]] DiskResult ReadFirstSector(std::span<std::byte, kBootSectorSize> buffer);
  // Sector-addressed transfers with the retry policy; they return the byte count
  // on success and 0 on failure.
  [[nodiscard]] uint32_t ReadPointData(void* buffer, uint32_t count, uint64_t startSector);
  [[nodiscard]] uint32_t WritePointData(const void* buffer, uint32_t count, uint64_t startSector);

  [[nodiscard]] DiskResult LockDisk();
  [[nodiscard]] bool UnlockDisk();
  [[nodiscard]] DiskResult UpdateDiskProperties();

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

 private:
  std::array<std::byte, kBootSectorSize> bootSector_{};
  std::unique_ptr<platform::BlockDevice> device_;
  int lastOpenError_ = 0;
};

}  // namespace stow::engine
