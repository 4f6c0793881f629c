// Volume use on Windows. Every volume with a drive letter is mounted by the
// system; the program takes it over through the volume lock and the format's
// forced dismount, as the system's own tools do. What must be refused is the
// volume the running system lives on (and the disk that holds it).
#include "platform/VolumeUse.h"


#include "platform/Volumes.h"
#include "platform/windows/WinLocks.h"
#include "platform/windows/WinVolumes.h"

namespace stow::platform {
namespace {

constexpr const char* kDrivePrefix = "\\\\.\\PhysicalDrive";

// The disk number of a device, or -1.
int DiskOf(const std::string& path) {
  if (path.rfind(kDrivePrefix, 0) == 0) {
    try {
      return std::stoi(path.substr(std::char_traits<char>::length(kDrivePrefix)));
    } catch (...) {
      return -1;
    }
  }
  VolumeHandle handle;
  DeviceNumber number;
  if (handle.Open(path) != 0 || handle.QueryDeviceNumber(number) != 0) return -1;
  return number.deviceNumber;
}

bool IsDisk(const std::string& path) { return path.rfind(kDrivePrefix, 0) == 0; }

// The drive letters on disk `disk`, as "X:".
std::vector<std::string> LettersOnDisk(int disk) {
  std::vector<std::string> letters;
  const DWORD drives = ::GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if ((drives & (DWORD{1} << i)) == 0) continue;
    const std::string letter = std::string(1, static_cast<char>('A' + i)) + ":";
    if (::GetDriveTypeW(win::Widen(letter + "\\").c_str()) != DRIVE_FIXED &&
        ::GetDriveTypeW(win::Widen(letter + "\\").c_str()) != DRIVE_REMOVABLE) {
      continue;
    }
    if (DiskOf(letter) == disk) letters.push_back(letter);
  }
  return letters;
}

// The drive letter of the volume that holds the file `path` (existing or not), or 0.
wchar_t VolumeLetterOfFile(const std::string& path) {
  wchar_t full[MAX_PATH] = {};
  if (::GetFullPathNameW(win::Widen(path).c_str(), MAX_PATH, full, nullptr) == 0) return 0;
  return win::DriveLetterOf(std::string(1, static_cast<char>(full[0])) + ":");
}

}  // namespace

int QueryVolumeUse(const std::string& path, VolumeUse& out) {
  out = VolumeUse{};
  if (!win::IsDeviceName(path)) {
    const DWORD attributes = ::GetFileAttributesW(win::Widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return win::LastErrno();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EINVAL;
    return 0;
  }
  const std::string system = SystemVolumeRoot();
  const wchar_t systemLetter = win::DriveLetterOf(system);
  const wchar_t letter = win::DriveLetterOf(path);
  bool holdsSystem = letter != 0 && letter == systemLetter;
  if (!holdsSystem && IsDisk(path)) {
    const int disk = DiskOf(path);
    holdsSystem = disk >= 0 && DiskOf(system.substr(0, 2)) == disk;
  }
  if (holdsSystem) {
    out.mounted = true;
    out.systemRoot = true;
    out.mountPoint = system;
    out.usedBy = system.substr(0, 2);
    out.mountedReadWrite = true;
    out.writableMountPoint = system;
  }
  return 0;
}

bool SameVolume(const std::string& a, const std::string& b) {
  std::string keyA;
  std::string keyB;
  return win::LockKeyOf(a, keyA) == 0 && win::LockKeyOf(b, keyB) == 0 && keyA == keyB;
}

bool VolumesOverlap(const std::string& a, const std::string& b) {
  if (SameVolume(a, b)) return true;
  if (IsDisk(a) == IsDisk(b)) return false;
  if (!win::IsDeviceName(a) || !win::IsDeviceName(b)) return false;
  const int diskA = DiskOf(a);
  return diskA >= 0 && diskA == DiskOf(b);
}

bool FileOverlapsVolume(const std::string& filePath, const std::string& volumePath,
                        std::string* how) {
  if (SameVolume(filePath, volumePath)) {
    if (how) *how = filePath + " is " + volumePath;
    return true;
  }
  if (!win::IsDeviceName(volumePath)) return false;
  const wchar_t letter = VolumeLetterOfFile(filePath);
  if (letter == 0) return false;
  const std::string fileVolume = std::string(1, static_cast<char>(letter)) + ":";
  if (VolumesOverlap(fileVolume, volumePath)) {
    if (how) *how = filePath + " lies on " + fileVolume;
    return true;
  }
  return false;
}

int QueryVolumeRelatives(const std::string& path, std::vector<std::string>& holders,
                         std::vector<std::string>& inside) {
  holders.clear();
  inside.clear();
  if (!win::IsDeviceName(path)) {
    const DWORD attributes = ::GetFileAttributesW(win::Widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return win::LastErrno();
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ENOTBLK : 0;
  }
  const int disk = DiskOf(path);
  if (IsDisk(path)) {
    if (disk >= 0) inside = LettersOnDisk(disk);
  } else if (disk >= 0) {
    holders.push_back(kDrivePrefix + std::to_string(disk));
  }
  return 0;
}

}  // namespace stow::platform
