// What the Windows implementation of the platform shares: UTF-8 and UTF-16
// conversions, system errors as the errno numbers the layers above compare
// with, and handles that close themselves.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>

// Names of the platform's interface that the system headers take for macros.
#undef ReplaceFile
#undef CreateFile
#undef CopyFile

#include <cerrno>
#include <string>

// The errno numbers have no "not a block device"; the Linux value is used.
#ifndef ENOTBLK
#define ENOTBLK 15
#endif

namespace stow::platform::win {

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);
std::string Narrow(const wchar_t* text, size_t length);

// The errno number for a Windows system error (EIO for the ones without one).
int ErrnoFromWin32(DWORD error);
inline int LastErrno() { return ErrnoFromWin32(::GetLastError()); }

// The system folder ("C:\Windows\System32"), without a trailing separator.
std::string SystemDirectory();

// "\\.\C:" for a drive letter spelled "C", "C:", "C:\" or "\\.\C:"; 0 otherwise.
wchar_t DriveLetterOf(const std::string& path);

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : h_(other.h_) { other.h_ = INVALID_HANDLE_VALUE; }
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Close();
      h_ = other.h_;
      other.h_ = INVALID_HANDLE_VALUE;
    }
    return *this;
  }
  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  void Close() {
    if (Valid()) ::CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

}  // namespace stow::platform::win
