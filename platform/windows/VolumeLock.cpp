// Task locks on Windows: LockFileEx on one lock file per volume, so that every
// process of this program meets on it; the process keeps one handle per
// locked volume (the registry of platform/VolumeLock.cpp counts its holders).
// The handles are not inheritable, so the tools a task runs hold nothing.
#include <cstdio>

#include "platform/TaskLockRegistry.h"
#include "platform/VolumeUse.h"
#include "platform/windows/WinLocks.h"

namespace stow::platform {
namespace win {

int LockKeyOf(const std::string& path, std::string& key) {
  if (const wchar_t letter = DriveLetterOf(path); letter != 0) {
    key = std::string("v") + static_cast<char>(letter);
    return 0;
  }
  constexpr const char* kDrivePrefix = "\\\\.\\PhysicalDrive";
  if (path.rfind(kDrivePrefix, 0) == 0) {
    key = "d" + path.substr(std::char_traits<char>::length(kDrivePrefix));
    return 0;
  }
  Handle file(::CreateFileW(Widen(path).c_str(), 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.Valid()) return LastErrno();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.Get(), &info)) return LastErrno();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ENOTBLK;
  char text[64];
  std::snprintf(text, sizeof text, "f%08lx-%08lx%08lx", info.dwVolumeSerialNumber,
                info.nFileIndexHigh, info.nFileIndexLow);
  key = text;
  return 0;
}

int TakeAdvisoryLock(const std::string& path, bool exclusive, Handle& out) {
  std::string key;
  if (const int error = LockKeyOf(path, key); error != 0) return error;
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return LastErrno();
  std::wstring folder = std::wstring(temp, length) + L"stowline-locks";
  if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    return LastErrno();
  }
  const std::wstring file = folder + L"\\" + Widen(key) + L".lock";
  Handle handle(::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.Valid()) return LastErrno();
  OVERLAPPED overlapped{};
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (!::LockFileEx(handle.Get(), flags, 0, 1, 0, &overlapped)) {
    const DWORD error = ::GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? EWOULDBLOCK
                                                                      : ErrnoFromWin32(error);
  }
  out = std::move(handle);
  return 0;
}

}  // namespace win

namespace {

class LockFileLock final : public SystemVolumeLock {
 public:
  explicit LockFileLock(win::Handle handle) : handle_(std::move(handle)) {}

 private:
  win::Handle handle_;  // closing it releases the lock
};

class WindowsVolumeLocks final : public VolumeLockSystem {
 public:
  int KeyOf(const std::string& path, std::string& key) override {
    return win::LockKeyOf(path, key);
  }

  int Relatives(const std::string& path, std::vector<std::string>& holders,
                std::vector<std::string>& inside) override {
    return QueryVolumeRelatives(path, holders, inside);
  }

  int Take(const std::string& path, LockMode mode,
           std::unique_ptr<SystemVolumeLock>& out) override {
    win::Handle handle;
    if (const int error = win::TakeAdvisoryLock(path, mode == LockMode::kExclusive, handle);
        error != 0) {
      return error;
    }
    out = std::make_unique<LockFileLock>(std::move(handle));
    return 0;
  }
};

}  // namespace

VolumeLockSystem& TheVolumeLockSystem() {
  static WindowsVolumeLocks system;
  return system;
}

}  // namespace stow::platform
