// Volumes on Windows: the volume enumeration (FindFirstVolumeW), the volume
// information, mount path, drive type and free-space calls, and the storage
// and disk control codes for where a volume lies on which disk.
#include "platform/Volumes.h"


#include <algorithm>
#include <array>
#include <cstring>
#include <tuple>

#include "platform/windows/Win32.h"
#include "platform/windows/WinVolumes.h"
#include "support/Enums.h"

namespace stow::platform {
namespace win {

std::wstring RootOf(const std::string& volume) {
  if (const wchar_t letter = DriveLetterOf(volume); letter != 0) {
    return std::wstring(1, letter) + L":\\";
  }
  std::wstring root = Widen(volume);
  if (root.rfind(L"\\\\?\\Volume", 0) == 0 && root.back() != L'\\') root += L'\\';
  return root;
}

std::wstring DeviceNameOf(const std::string& path) {
  if (const wchar_t letter = DriveLetterOf(path); letter != 0) {
    return std::wstring(L"\\\\.\\") + letter + L":";
  }
  std::wstring name = Widen(path);
  while (!name.empty() && name.back() == L'\\') name.pop_back();
  return name;
}

bool IsDeviceName(const std::string& path) {
  return DriveLetterOf(path) != 0 || path.rfind("\\\\.\\", 0) == 0 ||
         path.rfind("\\\\?\\Volume", 0) == 0;
}

int OpenForQueries(const std::string& path, Handle& out) {
  if (!IsDeviceName(path)) return ENOTBLK;
  out = Handle(::CreateFileW(DeviceNameOf(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr));
  return out.Valid() ? 0 : LastErrno();
}

int Control(HANDLE handle, DWORD code, void* out, DWORD size) {
  DWORD returned = 0;
  return ::DeviceIoControl(handle, code, nullptr, 0, out, size, &returned, nullptr)
             ? 0
             : LastErrno();
}

}  // namespace win

namespace {

// The file system in a boot sector, for a regular file standing in for a
// volume (the system has not mounted it and names nothing in it).
int ProbeBootSector(const std::string& path, VolumeInformation& out) {
  win::Handle file(::CreateFileW(win::Widen(path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
  if (!file.Valid()) return win::LastErrno();
  std::array<unsigned char, 512> sector{};
  DWORD got = 0;
  if (!::ReadFile(file.Get(), sector.data(), static_cast<DWORD>(sector.size()), &got, nullptr) ||
      got != sector.size()) {
    return EIO;
  }
  VolumeInformation info;
  if (std::memcmp(sector.data() + 3, "NTFS    ", 8) == 0) {
    info.fileSystemName = "NTFS";
    std::memcpy(&info.serialNumber, sector.data() + 0x48, sizeof info.serialNumber);
    info.maximumComponentLength = 255;
  } else if (std::memcmp(sector.data() + 82, "FAT32   ", 8) == 0) {
    info.fileSystemName = "FAT32";
    std::memcpy(&info.serialNumber, sector.data() + 67, sizeof info.serialNumber);
    info.maximumComponentLength = 255;
  } else if (std::memcmp(sector.data() + 54, "FAT", 3) == 0) {
    info.fileSystemName = "FAT";
    std::memcpy(&info.serialNumber, sector.data() + 39, sizeof info.serialNumber);
    info.maximumComponentLength = 255;
  } else {
    return EINVAL;
  }
  out = std::move(info);
  return 0;
}

// The layout's style as the system numbers it (MBR 0, GPT 1, RAW 2, as the
// enum does); any other number is a layout this program does not handle.
[[nodiscard]] PartitionStyle StyleOf(DWORD style) {
  switch (style) {
    case PARTITION_STYLE_MBR:
      return kStyleMbr;
    case PARTITION_STYLE_GPT:
      return kStyleGpt;
    default:
      return kStyleRaw;
  }
}

}  // namespace

int FindVolumes(std::vector<std::string>& names) {
  std::vector<std::string> found;
  wchar_t name[MAX_PATH + 1] = {};
  HANDLE search = ::FindFirstVolumeW(name, MAX_PATH + 1);
  if (search == INVALID_HANDLE_VALUE) return ENOENT;
  do {
    found.push_back(win::Narrow(name, ::wcslen(name)));
  } while (::FindNextVolumeW(search, name, MAX_PATH + 1));
  ::FindVolumeClose(search);
  // Disks in disk-number order, each disk's partitions by number; volumes on
  // no single disk after them, in the system's order.
  using Order = std::tuple<int64_t, uint32_t, size_t>;
  std::vector<std::pair<Order, std::string>> ordered;
  for (size_t i = 0; i < found.size(); ++i) {
    VolumeHandle handle;
    DeviceNumber number;
    int64_t disk = INT64_MAX;
    uint32_t partition = 0;
    if (handle.Open(VolumeOpenPath(found[i])) == 0 && handle.QueryDeviceNumber(number) == 0) {
      disk = number.deviceNumber;
      partition = number.partitionNumber;
    }
    ordered.push_back({{disk, partition, i}, found[i]});
  }
  std::sort(ordered.begin(), ordered.end());
  names.clear();
  for (auto& entry : ordered) names.push_back(std::move(entry.second));
  return names.empty() ? ENOENT : 0;
}

int QueryVolumeInformation(const std::string& volumeName, VolumeInformation& out) {
  if (!win::IsDeviceName(volumeName)) return ProbeBootSector(volumeName, out);
  const std::wstring root = win::RootOf(volumeName);
  wchar_t label[MAX_PATH + 1] = {};
  wchar_t fileSystem[MAX_PATH + 1] = {};
  DWORD serial = 0;
  DWORD component = 0;
  DWORD flags = 0;
  if (!::GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, &serial, &component, &flags,
                               fileSystem, MAX_PATH + 1)) {
    return win::LastErrno();
  }
  VolumeInformation info;
  info.label = win::Narrow(label, ::wcslen(label));
  info.serialNumber = serial;
  info.maximumComponentLength = component;
  info.fileSystemFlags = flags;
  info.fileSystemName = win::Narrow(fileSystem, ::wcslen(fileSystem));
  out = std::move(info);
  return 0;
}

int QueryVolumeMountPath(const std::string& volumeName, std::string& mountPath) {
  if (const wchar_t letter = win::DriveLetterOf(volumeName); letter != 0) {
    mountPath = win::Narrow(std::wstring(1, letter) + L":\\");
    return 0;
  }
  if (!win::IsDeviceName(volumeName)) {
    mountPath.clear();
    return 0;
  }
  std::wstring paths(MAX_PATH, L'\0');
  DWORD length = 0;
  const std::wstring root = win::RootOf(volumeName);
  while (!::GetVolumePathNamesForVolumeNameW(root.c_str(), paths.data(),
                                             static_cast<DWORD>(paths.size()), &length)) {
    if (::GetLastError() != ERROR_MORE_DATA) return win::LastErrno();
    paths.resize(length);
  }
  mountPath = win::Narrow(paths.c_str(), ::wcslen(paths.c_str()));
  return 0;
}

DriveType QueryDriveType(const std::string& volumeName) {
  if (!win::IsDeviceName(volumeName)) {
    return ::GetFileAttributesW(win::Widen(volumeName).c_str()) == INVALID_FILE_ATTRIBUTES
               ? kDriveNoRootDir
               : kDriveFixed;
  }
  // The system's numbers are the enum's; one it may add later is unknown here.
  const UINT type = ::GetDriveTypeW(win::RootOf(volumeName).c_str());
  return type <= ToInt(kDriveRamDisk) ? static_cast<DriveType>(type) : kDriveUnknown;
}

int QueryVolumeFreeSpace(const std::string& volumeName, VolumeFreeSpace& out) {
  if (!win::IsDeviceName(volumeName)) return ENOENT;
  ULARGE_INTEGER available{};
  ULARGE_INTEGER total{};
  ULARGE_INTEGER totalFree{};
  if (!::GetDiskFreeSpaceExW(win::RootOf(volumeName).c_str(), &available, &total, &totalFree)) {
    return win::LastErrno();
  }
  out.freeBytesAvailable = available.QuadPart;
  out.totalBytes = total.QuadPart;
  out.totalFreeBytes = totalFree.QuadPart;
  return 0;
}

std::string VolumeOpenPath(const std::string& volumeName) {
  std::string path = volumeName;
  while (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

std::string SystemVolumeRoot() { return win::SystemDirectory().substr(0, 3); }

int VolumeHandle::Open(const std::string& path) {
  open_ = false;
  win::Handle handle;
  if (const int error = win::OpenForQueries(path, handle); error != 0) return error;
  path_ = path;
  open_ = true;
  return 0;
}

int VolumeHandle::QueryDeviceNumber(DeviceNumber& out) const {
  win::Handle handle;
  if (const int error = win::OpenForQueries(path_, handle); error != 0) return error;
  STORAGE_DEVICE_NUMBER number{};
  if (const int error =
          win::Control(handle.Get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number);
      error != 0) {
    return error == EINVAL ? ENODEV : error;
  }
  out.deviceType = number.DeviceType;
  out.deviceNumber = static_cast<int32_t>(number.DeviceNumber);
  out.partitionNumber = number.PartitionNumber;
  return 0;
}

int VolumeHandle::QueryBytesPerSector(uint32_t& out) const {
  win::Handle handle;
  if (const int error = win::OpenForQueries(path_, handle); error != 0) return error;
  DISK_GEOMETRY geometry{};
  if (const int error =
          win::Control(handle.Get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, &geometry, sizeof geometry);
      error != 0) {
    return error;
  }
  out = geometry.BytesPerSector;
  return 0;
}

int VolumeHandle::QueryStartingOffset(uint64_t& out) const {
  win::Handle handle;
  if (const int error = win::OpenForQueries(path_, handle); error != 0) return error;
  PARTITION_INFORMATION_EX partition{};
  if (const int error = win::Control(handle.Get(), IOCTL_DISK_GET_PARTITION_INFO_EX, &partition,
                                     sizeof partition);
      error != 0) {
    return error;
  }
  out = static_cast<uint64_t>(partition.StartingOffset.QuadPart);
  return 0;
}

int VolumeHandle::QueryPartitionStyle(PartitionStyle& out) const {
  win::Handle handle;
  if (const int error = win::OpenForQueries(path_, handle); error != 0) return error;
  // A disk answers with its layout; a volume with its own partition's entry.
  std::vector<std::byte> buffer(sizeof(DRIVE_LAYOUT_INFORMATION_EX) +
                                127 * sizeof(PARTITION_INFORMATION_EX));
  if (win::Control(handle.Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, buffer.data(),
                   static_cast<DWORD>(buffer.size())) == 0) {
    DRIVE_LAYOUT_INFORMATION_EX layout{};
    std::memcpy(&layout, buffer.data(), sizeof layout);
    out = StyleOf(layout.PartitionStyle);
    return 0;
  }
  PARTITION_INFORMATION_EX partition{};
  if (const int error = win::Control(handle.Get(), IOCTL_DISK_GET_PARTITION_INFO_EX, &partition,
                                     sizeof partition);
      error != 0) {
    return error;
  }
  out = StyleOf(partition.PartitionStyle);
  return 0;
}

}  // namespace stow::platform
