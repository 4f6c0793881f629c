// Step 1 of the inventory: the enumeration and its per-volume queries, with the
// start-sector and partition-style queries it uses.
#include "discovery/Inventory.h"

#include <cerrno>

#include "discovery/NtfsVolume.h"
#include "engine/disk/Disk.h"
#include "platform/BlockDevice.h"
#include "platform/DiskNumbers.h"
#include "platform/Volumes.h"
#include "support/Enums.h"
#include "support/Log.h"

namespace stow::discovery {
namespace {

unsigned Hex(int error) { return static_cast<unsigned>(error); }

// Fills the fields of the volume information and mount-path queries.
void QueryNames(PartitionInfo& r) {
  platform::VolumeInformation info;
  if (platform::QueryVolumeInformation(r.volumeName, info) == 0) {
    r.volumeLabel = info.label;
    r.serialNumber = info.serialNumber;
    r.maximumComponentLength = info.maximumComponentLength;
    r.fileSystemFlags = info.fileSystemFlags;
    r.fileSystemName = info.fileSystemName;
  }
  std::string mountPath;
  if (platform::QueryVolumeMountPath(r.volumeName, mountPath) == 0) r.mountPath = mountPath;
}

// False when no mounted file system answers (the counts stay zero).
bool QueryFreeSpace(PartitionInfo& r) {
  platform::VolumeFreeSpace space;
  if (platform::QueryVolumeFreeSpace(r.volumeName, space) != 0) return false;
  r.freeBytesAvailable = space.freeBytesAvailable;
  r.totalBytes = space.totalBytes;
  r.totalFreeBytes = space.totalFreeBytes;
  return true;
}

// An NTFS volume that no driver has mounted here: its sizes come from the boot
// sector and the cluster bitmap, as a mounted volume's driver would report them.
void CountUnmountedNtfsSpace(engine::CDisk& disk, PartitionInfo& r) {
  NtfsSpace space;
  const NtfsSpaceResult result = ReadNtfsFreeSpace(disk, space);
  if (result != kNtfsSpaceOk) {
    LogLess("free space of %s: %s", r.volumeName.c_str(), NtfsSpaceResultText(result));
    return;
  }
  r.totalBytes = space.totalClusters * space.clusterSize;
  r.totalFreeBytes = space.freeClusters * space.clusterSize;
  r.freeBytesAvailable = r.totalFreeBytes;
}

// The NTFS volume data query: the cluster size from the boot sector.
void QueryNtfsData(const std::string& path, bool spaceKnown, PartitionInfo& r) {
  std::unique_ptr<platform::BlockDevice> device;
  const int error = platform::OpenBlockDevice(path, true, device);
  if (error != 0) {
    LogLess("When get volume info,read disk cluster info error=0x%x", Hex(error));
    return;
  }
  engine::CDisk disk;
  disk.Attach(std::move(device), true);
  r.bytesPerCluster =
      NtfsClusterSize(Bytes(disk.Device().BootSector().data(), disk.Device().BootSector().size()));
  if (r.bytesPerCluster == 0) {
    // The query fails for any volume that is not NTFS, as it does on Windows.
    LogLess("When get volume info,read disk cluster info error=0x%x", Hex(EINVAL));
    return;
  }
  if (!spaceKnown) CountUnmountedNtfsSpace(disk, r);
}

// Runs the queries of one record; false when the record is to be removed.
bool QueryVolume(PartitionInfo& r) {
  // Removable media and optical drives are dropped before anything reads them.
  const platform::DriveType driveType = platform::QueryDriveType(r.volumeName);
  if (driveType == platform::kDriveRemovable || driveType == platform::kDriveCdrom) return false;
  QueryNames(r);
  const bool spaceKnown = QueryFreeSpace(r);

  const std::string path = platform::VolumeOpenPath(r.volumeName);
  platform::VolumeHandle volume;
  const int openError = volume.Open(path);
  if (openError != 0) {
    LogLess("get partition %s disk fail,error=0x%x", r.volumeName.c_str(), Hex(openError));
    return true;
  }
  platform::DeviceNumber number;
  const int numberError = volume.QueryDeviceNumber(number);
  if (numberError == 0) {
    if (number.deviceType != kDeviceTypeDisk) return false;
    r.diskNumber = number.deviceNumber;
    r.deviceType = kDeviceTypeDisk;
    r.partitionNumber = number.partitionNumber;
  } else {
    LogLess("when get volume info,get disk No. fail error=0x%x", Hex(numberError));
  }
  QueryNtfsData(path, spaceKnown, r);
  r.startSector = GetVolumeStartSector(path);
  r.partitionStyle = GetDiskPartitionStyle(path, r.diskNumber);
  return true;
}

}  // namespace

platform::VolumeId PartitionInfo::Volume() const {
  return platform::VolumeId(platform::VolumeOpenPath(volumeName));
}

void RefreshPartitionList(PartitionList& list) {
  list.clear();
  EnumerateVolumes(list);
  ClassifyMbrKinds(list);
  MarkGptFatDisks(list);
  MarkSystemVolume(list);
}

void EnumerateVolumes(PartitionList& list) {
  std::vector<std::string> names;
  if (platform::FindVolumes(names) != 0 || names.empty()) {
    LogLess("Not found the first volume");
    return;
  }
  const size_t first = list.size();
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) LogDebug("volume  %s", names[i].c_str());
    PartitionInfo record;
    record.volumeName = names[i];
    list.push_back(std::move(record));
  }
  // Records already in the list before this call are left as they are.
  for (size_t i = first; i < list.size();) {
    if (QueryVolume(list[i])) {
      ++i;
    } else {
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

uint64_t GetVolumeStartSector(const std::string& path) {
  platform::VolumeHandle volume;
  int error = volume.Open(path);
  if (error != 0) {
    LogLess("GetVolumeStartSector fail 1 error=%d", error);
    return 0;
  }
  uint32_t bytesPerSector = 0;
  error = volume.QueryBytesPerSector(bytesPerSector);
  if (error != 0) {
    LogLess("GetVolumeStartSector fail 2 error=%d", error);
    return 0;
  }
  uint64_t offset = 0;
  error = volume.QueryStartingOffset(offset);
  if (error != 0) {
    LogLess("GetVolumeStartSector fail 3 error=%d", error);
    return 0;
  }
  return offset / bytesPerSector;
}

platform::PartitionStyle GetDiskPartitionStyle(const std::string& fallbackPath,
                                               int32_t diskNumber) {
  platform::VolumeHandle device;
  std::string diskPath;
  const bool diskOpened =
      platform::ResolveDiskNumber(diskNumber, diskPath) && device.Open(diskPath) == 0;
  if (!diskOpened && device.Open(fallbackPath) != 0) return platform::kStyleNotOpened;
  platform::PartitionStyle style = platform::kStyleRaw;
  if (device.QueryPartitionStyle(style) != 0) return platform::kStyleQueryFailed;
  return style;
}

}  // namespace stow::discovery
