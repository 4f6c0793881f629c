#include "platform/windows/Win32.h"

#include <cctype>

namespace stow::platform::win {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0);
  std::wstring out(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                          length);
  }
  return out;
}

std::string Narrow(const wchar_t* text, size_t count) {
  if (count == 0) return {};
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), nullptr, 0,
                                           nullptr, nullptr);
  std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), out.data(), length, nullptr,
                          nullptr);
  }
  return out;
}

std::string Narrow(const std::wstring& text) { return Narrow(text.data(), text.size()); }

int ErrnoFromWin32(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_UNRECOGNIZED_VOLUME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
    case ERROR_DRIVE_LOCKED:
      return EBUSY;
    case ERROR_LOCK_FAILED:
    case ERROR_IO_PENDING:
      return EWOULDBLOCK;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_FUNCTION:
      return EINVAL;
    case ERROR_NOT_SUPPORTED:
      return ENOTSUP;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
      return ENODEV;
    case ERROR_BROKEN_PIPE:
      return EPIPE;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_TIMEOUT:
    case WAIT_TIMEOUT:
      return ETIMEDOUT;
    default:
      return EIO;
  }
}

std::string SystemDirectory() {
  wchar_t buffer[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return "C:\\Windows\\System32";
  return Narrow(buffer, length);
}

wchar_t DriveLetterOf(const std::string& path) {
  std::string rest = path;
  if (rest.rfind("\\\\.\\", 0) == 0 || rest.rfind("\\\\?\\", 0) == 0) rest = rest.substr(4);
  if (rest.size() < 2 || rest.size() > 3 || rest[1] != ':') return 0;
  if (rest.size() == 3 && rest[2] != '\\' && rest[2] != '/') return 0;
  const auto c = static_cast<unsigned char>(rest[0]);
  if (!std::isalpha(c)) return 0;
  return static_cast<wchar_t>(std::toupper(c));
}

}  // namespace stow::platform::win
