// On Windows the system mounts NTFS volumes itself: a volume with a drive
// letter is reached at its root folder, and "mounting" it only checks that it
// is there. A file standing in for a volume cannot be mounted.
#include "platform/PrivateMount.h"

#include <random>

#include "platform/Volumes.h"
#include "platform/windows/Win32.h"

namespace stow::platform {

int MakePrivateTempDirectory(std::string& path) {
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return win::LastErrno();
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring folder = std::wstring(temp, length) + L"stowline-" +
                                std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                std::to_wstring(random());
    if (::CreateDirectoryW(folder.c_str(), nullptr)) {
      path = win::Narrow(folder);
      return 0;
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return win::LastErrno();
  }
  return EEXIST;
}

PrivateNtfsMount::~PrivateNtfsMount() { static_cast<void>(Unmount()); }

int PrivateNtfsMount::Mount(const std::string& volume, bool /*readOnly*/) {
  if (IsMounted()) return EBUSY;
  const wchar_t letter = win::DriveLetterOf(volume);
  if (letter == 0) return ENOTSUP;
  VolumeInformation info;
  if (const int error = QueryVolumeInformation(volume, info); error != 0) return error;
  if (info.fileSystemName != "NTFS") return EIO;
  path_ = std::string(1, static_cast<char>(letter)) + ":";
  driver_ = 1;
  return 0;
}

int PrivateNtfsMount::Unmount() {
  path_.clear();
  driver_ = -1;
  return 0;
}

}  // namespace stow::platform
