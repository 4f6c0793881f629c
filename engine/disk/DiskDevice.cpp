#include "engine/disk/DiskDevice.h"

#include <chrono>
#include <thread>

#include "platform/DiskNumbers.h"
#include "support/Bytes.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

constexpr int kReadAttempts = 2;
constexpr int kWriteAttempts = 5;
constexpr auto kRetryDelay = std::chrono::milliseconds(100);

// Boot sector offsets.
constexpr size_t kBytesPerSectorOffset = 11;
constexpr size_t kSectorsPerClusterOffset = 13;
constexpr size_t kTotalSectorsOffset = 40;
constexpr size_t kMftClusterOffset = 48;
constexpr size_t kMftMirrClusterOffset = 56;
constexpr size_t kClustersPerRecordOffset = 64;

}  // namespace

DiskResult DiskDevice::InitDisk(const platform::VolumeId& volume, bool readOnly) {
  std::unique_ptr<platform::BlockDevice> device;
  lastOpenError_ = platform::OpenBlockDevice(volume.DevicePath(), readOnly, device);
  if (lastOpenError_ != 0) {
    LogLess("InitDisk disk %s error = 0x%x", volume.DisplayName().c_str(),
            static_cast<unsigned>(lastOpenError_));
    return DiskResult::kOpenFailed;
  }
  Attach(std::move(device), true);
  return DiskResult::kOk;
}

DiskResult DiskDevice::OpenPhysicalDrive(int diskNumber) {
  std::string path;
  if (!platform::ResolveDiskNumber(diskNumber, path)) {
    lastOpenError_ = 2;  // no such device
    return DiskResult::kOpenFailed;
  }
  return OpenPhysicalDrivePath(path, false);
}

DiskResult DiskDevice::OpenPhysicalDrivePath(const std::string& path, bool readOnly) {
  std::unique_ptr<platform::BlockDevice> device;
  lastOpenError_ = platform::OpenBlockDevice(path, readOnly, device);
  if (lastOpenError_ != 0) return DiskResult::kOpenFailed;
  // A disk is addressed in 512-byte sectors by the table code; nothing is read here.
  Attach(std::move(device), false);
  return DiskResult::kOk;
}

void DiskDevice::Attach(std::unique_ptr<platform::BlockDevice> device, bool readBootSector) {
  device_ = std::move(device);
  bootSector_.fill(std::byte{0});
  // As on the original platform the result of this read is not checked: a volume
  // whose first sector cannot be read is refused later by its checks.
  if (readBootSector && device_ &&
      ReadPointData(bootSector_.data(), kBootSectorSize, 0) != kBootSectorSize) {
    bootSector_.fill(std::byte{0});
  }
}

DiskResult DiskDevice::ReadFirstSector(std::span<std::byte, kBootSectorSize> buffer) {
  if (!device_) return DiskResult::kNoDevice;
  const platform::IoResult r = device_->ReadAt(0, buffer);
  if (r.bytes == 0 && r.error != 0) return DiskResult::kReadFailed;
  if (r.bytes < kBootSectorSize) return DiskResult::kShortRead;
  return DiskResult::kOk;
}

uint32_t DiskDevice::AddressingSectorSize() const {
  const uint16_t bps = BytesPerSector();
  return bps == 0 ? kDefaultSectorSize : bps;
}

uint32_t DiskDevice::ReadPointData(void* buffer, uint32_t count, uint64_t startSector) {
  if (!device_) return 0;
  const uint64_t position = startSector * AddressingSectorSize();
  int error = 0;
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(kRetryDelay);
    const platform::IoResult r = device_->ReadAt(position, AsWritableBytes(buffer, count));
    if (r.bytes == count) return count;
    error = r.error;
  }
  LogDebug("ReadPointData fail, error:0x%x , startSector: 0x%x , len : 0x%x",
           static_cast<unsigned>(error), static_cast<unsigned>(startSector & 0xFFFFFFFFu), count);
  return 0;
}

uint32_t DiskDevice::WritePointData(const void* buffer, uint32_t count, uint64_t startSector) {
  if (!device_) return 0;
  const uint64_t position = startSector * AddressingSectorSize();
  int error = 0;
  for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
    const platform::IoResult r = device_->WriteAt(position, AsBytes(buffer, count));
    if (r.bytes == count) return count;
    error = r.error;
    std::this_thread::sleep_for(kRetryDelay);
  }
  LogLess("WritePointData fail , error:0x%x , startSector:0x%x , len:0x%x",
          static_cast<unsigned>(error), static_cast<unsigned>(startSector & 0xFFFFFFFFu), count);
  return 0;
}

DiskResult DiskDevice::LockDisk() {
  if (!device_) {
    LogLess("Lock disk fail, handle is invalid!");
    return DiskResult::kLockNoDevice;
  }
  const int error = device_->Lock();
  if (error != 0) {
    LogLess("Lock disk fail, error=0x%x!", static_cast<unsigned>(error));
    return DiskResult::kLockRefused;
  }
  return DiskResult::kOk;
}

bool DiskDevice::UnlockDisk() { return device_ && device_->Unlock() == 0; }

DiskResult DiskDevice::UpdateDiskProperties() {
  if (!device_ || device_->UpdateProperties() != 0) return DiskResult::kUpdateFailed;
  return DiskResult::kOk;
}

uint16_t DiskDevice::BytesPerSector() const { return LoadLe16(&bootSector_[kBytesPerSectorOffset]); }
uint8_t DiskDevice::SectorsPerCluster() const { return LoadU8(&bootSector_[kSectorsPerClusterOffset]); }
uint64_t DiskDevice::MftCluster() const { return LoadLe64(&bootSector_[kMftClusterOffset]); }
uint64_t DiskDevice::MftMirrCluster() const { return LoadLe64(&bootSector_[kMftMirrClusterOffset]); }
uint64_t DiskDevice::TotalSectors() const { return LoadLe64(&bootSector_[kTotalSectorsOffset]); }
uint32_t DiskDevice::ClustersPerFileRecordRaw() const {
  return LoadLe32(&bootSector_[kClustersPerRecordOffset]);
}

}  // namespace stow::engine
