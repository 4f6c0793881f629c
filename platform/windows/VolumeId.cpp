#include "platform/VolumeId.h"

#include "platform/windows/Win32.h"

namespace stow::platform {
namespace {

// The drive letter of a volume GUID path ("\\?\Volume{...}\"), or 0.
wchar_t LetterOfVolumeName(const std::string& name) {
  if (name.rfind("\\\\?\\Volume", 0) != 0) return 0;
  std::wstring root = win::Widen(name);
  if (root.back() != L'\\') root += L'\\';
  wchar_t paths[MAX_PATH] = {};
  DWORD length = 0;
  if (!::GetVolumePathNamesForVolumeNameW(root.c_str(), paths, MAX_PATH, &length)) return 0;
  for (const wchar_t* p = paths; *p != L'\0'; p += ::wcslen(p) + 1) {
    if (::wcslen(p) == 3 && p[1] == L':') return p[0];
  }
  return 0;
}

}  // namespace

VolumeId::VolumeId(std::string devicePath) {
  wchar_t letter = win::DriveLetterOf(devicePath);
  if (letter == 0 && devicePath.size() == 1) letter = win::DriveLetterOf(devicePath + ":");
  if (letter == 0) letter = LetterOfVolumeName(devicePath);
  if (letter != 0) {
    const char c = static_cast<char>(letter);
    path_ = std::string("\\\\.\\") + c + ":";
    display_ = std::string(1, c);
    return;
  }
  path_ = std::move(devicePath);
  display_ = path_;
}

}  // namespace stow::platform
