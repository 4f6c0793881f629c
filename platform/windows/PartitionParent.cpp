#include "platform/PartitionParent.h"


#include "platform/windows/WinVolumes.h"

namespace stow::platform {

int QueryPartitionPlacement(const std::string& partitionPath, PartitionPlacement& out) {
  win::Handle handle;
  if (const int error = win::OpenForQueries(partitionPath, handle); error != 0) return error;
  STORAGE_DEVICE_NUMBER number{};
  if (const int error =
          win::Control(handle.Get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number);
      error != 0) {
    return error;
  }
  if (number.PartitionNumber == 0) return EINVAL;
  PARTITION_INFORMATION_EX partition{};
  if (const int error = win::Control(handle.Get(), IOCTL_DISK_GET_PARTITION_INFO_EX, &partition,
                                     sizeof partition);
      error != 0) {
    return error;
  }
  out.diskPath = "\\\\.\\PhysicalDrive" + std::to_string(number.DeviceNumber);
  out.startSector = static_cast<uint64_t>(partition.StartingOffset.QuadPart) / 512;
  out.partitionNumber = number.PartitionNumber;
  return 0;
}

}  // namespace stow::platform
