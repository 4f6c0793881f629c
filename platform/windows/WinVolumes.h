// Naming and opening volumes and disks on Windows, shared by the volume
// queries, the volume use checks and the partition placement.
#pragma once

#include <string>

#include "platform/windows/Win32.h"

namespace stow::platform::win {

// "D:\" for a drive letter, a volume GUID path with its trailing backslash.
std::wstring RootOf(const std::string& volume);
// "\\.\D:" for a drive letter; other device names without a trailing backslash.
std::wstring DeviceNameOf(const std::string& path);
// A drive letter, a "\\.\" device or a volume GUID path (not a regular file).
bool IsDeviceName(const std::string& path);
// Opens a device for the control codes that need no access rights: 0, or
// ENOTBLK for a regular file, or the system error.
int OpenForQueries(const std::string& path, Handle& out);
// A control code without input: 0, or the system error.
int Control(HANDLE handle, DWORD code, void* out, DWORD size);

}  // namespace stow::platform::win
