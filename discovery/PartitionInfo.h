// One volume of the inventory and the ordered list of them that each page owns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/VolumeId.h"
#include "platform/Volumes.h"

namespace stow::discovery {

// MBR kind.
inline constexpr uint8_t kMbrKindUnknown = 0;
inline constexpr uint8_t kMbrKindPrimary = 1;
inline constexpr uint8_t kMbrKindLogical = 2;

// GPT FAT flag.
inline constexpr uint8_t kGptFatUnknown = 0;
inline constexpr uint8_t kGptFatPresent = 1;
inline constexpr uint8_t kGptFatAbsent = 2;

inline constexpr int32_t kNoDiskNumber = -1;
inline constexpr uint32_t kDeviceTypeNone = 0;
inline constexpr uint32_t kDeviceTypeDisk = 7;

struct PartitionInfo {
  // The name the enumeration returned: here the device path ("/dev/sdb1").
  std::string volumeName;
  std::string volumeLabel;
  uint32_t serialNumber = 0;
  uint32_t maximumComponentLength = 0;
  uint32_t fileSystemFlags = 0;
  // "NTFS", "FAT32", "FAT", "exFAT", or the system's own name ("ext4"); empty when unknown.
  std::string fileSystemName;
  // The first mount path; empty when the volume is not mounted.
  std::string mountPath;
  uint64_t freeBytesAvailable = 0;
  uint64_t totalBytes = 0;
  uint64_t totalFreeBytes = 0;
  // The disk that holds the volume; kNoDiskNumber when it lies on no single disk.
  int32_t diskNumber = kNoDiskNumber;
  uint32_t deviceType = kDeviceTypeNone;
  uint32_t partitionNumber = 0;
  // In units of the disk's logical sector size.
  uint64_t startSector = 0;
  // NTFS cluster size; 0 when the volume is not NTFS.
  uint32_t bytesPerCluster = 0;
  // The style of the volume's disk. Not filled for a volume that cannot be
  // opened: stays kStyleNotOpened.
  platform::PartitionStyle partitionStyle = platform::kStyleNotOpened;
  uint8_t mbrKind = kMbrKindUnknown;
  uint8_t gptFatFlag = kGptFatUnknown;
  uint8_t systemVolume = 0;

  // The volume as the engine opens it.
  platform::VolumeId Volume() const;

  bool operator==(const PartitionInfo&) const = default;
};

// In the order of the system's volume enumeration, never sorted.
using PartitionList = std::vector<PartitionInfo>;

}  // namespace stow::discovery
