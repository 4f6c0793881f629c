// A stand-in for the system's format.com in the Wine tests: Wine has no NTFS
// format, so this one takes format.com's command line
//   format.com TARGET /Q /X [/A:n | /A:nK] /fs:NTFS /y
// and formats TARGET, a file standing in for a volume, with ntfs-3g's mkntfs
// on the host (Wine starts host programs given by their host path). It is
// installed as C:\windows\system32\format.com in the tests' own Wine prefix.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

using UnixFileName = char*(CDECL*)(const wchar_t*);

std::wstring Widen(const char* text) {
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(length > 0 ? length - 1 : 0), L'\0');
  if (length > 1) ::MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), length);
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fwprintf(stderr, L"format stand-in: no target\n");
    return 2;
  }
  std::wstring cluster;
  bool ntfs = false;
  for (int i = 2; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg.rfind(L"/A:", 0) == 0) {
      std::wstring size = arg.substr(3);
      long bytes = std::wcstol(size.c_str(), nullptr, 10);
      if (!size.empty() && (size.back() == L'K' || size.back() == L'k')) bytes *= 1024;
      cluster = std::to_wstring(bytes);
    } else if (_wcsicmp(arg.c_str(), L"/fs:NTFS") == 0) {
      ntfs = true;
    }
  }
  if (!ntfs) {
    std::fwprintf(stderr, L"format stand-in: only /fs:NTFS is supported\n");
    return 2;
  }
  const auto toUnix = reinterpret_cast<UnixFileName>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"),
                                               "wine_get_unix_file_name")));
  if (toUnix == nullptr) {
    std::fwprintf(stderr, L"format stand-in: runs under Wine only\n");
    return 2;
  }
  char* unixPath = toUnix(argv[1]);
  if (unixPath == nullptr) {
    std::fwprintf(stderr, L"format stand-in: no host path for %ls\n", argv[1]);
    return 2;
  }
  // A file has no geometry of its own: the one the Linux build gives a file.
  std::wstring command =
      L"/usr/sbin/mkntfs --quiet --fast --force --partition-start 0 --heads 255 "
      L"--sectors-per-track 63";
  if (!cluster.empty()) command += L" --cluster-size " + cluster;
  command += L" \"" + Widen(unixPath) + L"\"";
  ::HeapFree(::GetProcessHeap(), 0, unixPath);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &info)) {
    std::fwprintf(stderr, L"format stand-in: cannot start mkntfs (%lu)\n", ::GetLastError());
    return 1;
  }
  ::WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(info.hProcess, &code);
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  return static_cast<int>(code);
}
