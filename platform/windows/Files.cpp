#include "platform/Files.h"

#include <cstdio>
#include <filesystem>
#include <random>

#include "platform/windows/Win32.h"

namespace stow::platform {

std::string TemporaryPathBeside(const std::string& target) {
  const std::filesystem::path path(win::Widen(target));
  std::random_device random;
  const uint32_t tag = random() ^ (static_cast<uint32_t>(::GetCurrentProcessId()) << 12);
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08x", tag);
  const std::wstring name =
      L"." + path.filename().wstring() + L"." + win::Widen(hex) + L".partial";
  return win::Narrow((path.parent_path() / name).wstring());
}

int ReplaceFile(const std::string& from, const std::string& to) {
  // Replaced at once or not at all, and on the disk when the call returns.
  return ::MoveFileExW(win::Widen(from).c_str(), win::Widen(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? 0
             : win::LastErrno();
}

int RemoveFile(const std::string& path) {
  return ::DeleteFileW(win::Widen(path).c_str()) ? 0 : win::LastErrno();
}

int QueryFileSize(const std::string& path, uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(win::Widen(path).c_str(), GetFileExInfoStandard, &data)) {
    return win::LastErrno();
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EINVAL;
  size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return 0;
}

int QueryFreeSpace(const std::string& path, uint64_t& freeBytes) {
  std::filesystem::path probe =
      path.empty() ? std::filesystem::path(L".") : std::filesystem::path(win::Widen(path));
  // Walk up to the nearest existing folder: a backup names a file that does not exist yet.
  for (int depth = 0; depth < 4096; ++depth) {
    const DWORD attributes = ::GetFileAttributesW(probe.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      std::filesystem::path folder = probe;
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) folder = probe.parent_path();
      if (folder.empty()) folder = L".";
      ULARGE_INTEGER available{};
      if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) {
        return win::LastErrno();
      }
      freeBytes = available.QuadPart;
      return 0;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      return win::ErrnoFromWin32(error);
    }
    if (!probe.has_relative_path() || probe == probe.parent_path()) break;
    probe = probe.parent_path();
    if (probe.empty()) probe = L".";
  }
  return ENOENT;
}

}  // namespace stow::platform
