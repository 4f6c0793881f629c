#include "platform/System.h"

#include <filesystem>

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "support/Log.h"

namespace stow::platform {
namespace {

// Each log line must survive a crash or a forced reboot, not only reach the page cache.
bool SyncLogFile(std::FILE* file) { return ::fdatasync(::fileno(file)) == 0; }

// localtime_r keeps the log off the shared static result of std::localtime.
bool LocalTimeNow(LogTime& out) {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  if (now == static_cast<std::time_t>(-1) || ::localtime_r(&now, &tm) == nullptr) return false;
  out = LogTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
  return true;
}

}  // namespace

uint64_t CurrentThreadId() { return static_cast<uint64_t>(::syscall(SYS_gettid)); }

void Initialise() {
  CLog::SetThreadIdFunction(&CurrentThreadId);
  CLog::SetFileSyncFunction(&SyncLogFile);
  CLog::SetLocalTimeFunction(&LocalTimeNow);
}

std::string ProgramDirectory() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return ".";
  return exe.parent_path().string();
}

bool HasAdministratorRights() { return ::geteuid() == 0; }

}  // namespace stow::platform
