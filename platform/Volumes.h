// The operating system's view of volumes, for the inventory: which volumes there
// are, what each holds, where it is mounted, and where it lies on which disk.
//
// A volume is named by a text that the enumeration returns and every query takes.
// On Windows it is the volume GUID path with its trailing backslash; here it is
// the device path ("/dev/sdb1", "/dev/loop1000p5"), which is also what a
// VolumeId wraps. Names are stable while no disk is added or removed.
//
// The queries return 0 or the system error; a failed query leaves its output at
// the values it had.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stow::platform {

// Drive types as the Windows drive-type query numbers them.
enum class DriveType : uint32_t {
  kDriveUnknown = 0,
  kDriveNoRootDir = 1,
  kDriveRemovable = 2,
  kDriveFixed = 3,
  kDriveRemote = 4,
  kDriveCdrom = 5,
  kDriveRamDisk = 6,
};
using enum DriveType;

// The device type of a volume that lies on a disk.
inline constexpr uint32_t kDeviceTypeDisk = 7;

// Partition styles of a disk's layout. The negative ones say why a disk's style
// is not known: the inventory records them, QueryPartitionStyle never gives
// them. The numbers are those `list` prints.
enum class PartitionStyle : int32_t {
  kStyleMbr = 0,
  kStyleGpt = 1,
  kStyleRaw = 2,
  kStyleNotOpened = -1,    // neither the disk nor the volume opened
  kStyleQueryFailed = -2,  // the layout could not be read
};
using enum PartitionStyle;

// File system flag: the volume is mounted read-only.
inline constexpr uint32_t kFileReadOnlyVolume = 0x00080000;

// Lists every volume the system knows, in a stable order (disks in disk-number
// order, each disk's partitions by number). ENOENT when there is none.
[[nodiscard]] int FindVolumes(std::vector<std::string>& names);

struct VolumeInformation {
  std::string label;
  uint32_t serialNumber = 0;
  uint32_t maximumComponentLength = 0;
  uint32_t fileSystemFlags = 0;
  // As Windows names them where it has a name: "NTFS", "FAT32", "FAT", "exFAT";
  // otherwise the system's own name ("ext4").
  std::string fileSystemName;
};
[[nodiscard]] int QueryVolumeInformation(const std::string& volumeName, VolumeInformation& out);

// The volume's first mount path; empty when it is not mounted.
[[nodiscard]] int QueryVolumeMountPath(const std::string& volumeName, std::string& mountPath);

// kDriveRemovable for removable media, kDriveCdrom for optical drives, else kDriveFixed
// (kDriveNoRootDir when the volume does not exist).
[[nodiscard]] DriveType QueryDriveType(const std::string& volumeName);

struct VolumeFreeSpace {
  uint64_t freeBytesAvailable = 0;  // to the calling user
  uint64_t totalBytes = 0;
  uint64_t totalFreeBytes = 0;
};
// Needs the file system to be mounted here (ENOENT when it is not).
[[nodiscard]] int QueryVolumeFreeSpace(const std::string& volumeName, VolumeFreeSpace& out);

// The path that opens the volume: the name without a trailing separator.
std::string VolumeOpenPath(const std::string& volumeName);

// The mount path of the volume that holds the running system ("/"; "C:\" on Windows).
std::string SystemVolumeRoot();

// The result of the device-number query.
struct DeviceNumber {
  uint32_t deviceType = 0;       // kDeviceTypeDisk for a volume on a disk
  int32_t deviceNumber = -1;     // the disk number
  uint32_t partitionNumber = 0;  // 1-based; 0 for a volume that spans its whole disk
};

// A volume or disk opened for the queries below. Here the queries are answered
// from sysfs, so opening only resolves the device node and holds nothing open:
// a held descriptor would keep partition tools from removing the partition.
class VolumeHandle {
 public:
  VolumeHandle() = default;
  VolumeHandle(const VolumeHandle&) = delete;
  VolumeHandle& operator=(const VolumeHandle&) = delete;

  [[nodiscard]] int Open(const std::string& path);
  bool IsOpen() const { return open_; }
  const std::string& Path() const { return path_; }

  // Fails (ENODEV) for a volume that lies on no single numbered disk.
  [[nodiscard]] int QueryDeviceNumber(DeviceNumber& out) const;
  // The logical sector size of the disk that holds the volume.
  [[nodiscard]] int QueryBytesPerSector(uint32_t& out) const;
  // The volume's first byte on its disk.
  [[nodiscard]] int QueryStartingOffset(uint64_t& out) const;
  // The style of the partition table on this device (reads the device).
  [[nodiscard]] int QueryPartitionStyle(PartitionStyle& out) const;

 private:
  std::string path_;
  std::string sysfsDir_;  // the device's folder in /sys/class/block
  bool open_ = false;
};

}  // namespace stow::platform
