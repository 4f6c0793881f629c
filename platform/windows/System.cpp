#include "platform/System.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "platform/windows/Win32.h"
#include "support/Log.h"

namespace stow::platform {
namespace {

// Each log line must survive a crash or a forced restart, not only reach the cache.
bool SyncLogFile(std::FILE* file) {
  const intptr_t handle = ::_get_osfhandle(::_fileno(file));
  if (handle == -1) return false;
  return ::FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) != 0;
}

bool LocalTimeNow(LogTime& out) {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  if (now == static_cast<std::time_t>(-1) || ::localtime_s(&tm, &now) != 0) return false;
  out = LogTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
  return true;
}

}  // namespace

uint64_t CurrentThreadId() { return ::GetCurrentThreadId(); }

void Initialise() {
  CLog::SetThreadIdFunction(&CurrentThreadId);
  CLog::SetFileSyncFunction(&SyncLogFile);
  CLog::SetLocalTimeFunction(&LocalTimeNow);
  // Texts are UTF-8 throughout; the console shows them as such. Output goes
  // out as written: "\n" ends a line, as in the program's JSON and texts.
  ::SetConsoleOutputCP(CP_UTF8);
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
}

std::string ProgramDirectory() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return ".";
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  return win::Narrow(std::filesystem::path(buffer).parent_path().wstring());
}

bool HasAdministratorRights() {
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!::AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  if (!::CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  ::FreeSid(administrators);
  return member != FALSE;
}

std::string DefaultLogDirectory() { return ProgramDirectory(); }

std::string DefaultSettingsPath() { return ProgramDirectory() + "\\config.ini"; }

int EnsureLogDirectory(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path folder(win::Widen(path));
  if (std::filesystem::is_directory(folder, ec)) return 0;
  std::filesystem::create_directories(folder, ec);
  if (ec) return ec.value();
  return 0;
}

}  // namespace stow::platform
