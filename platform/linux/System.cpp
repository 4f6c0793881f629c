#include "platform/System.h"

#include <filesystem>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
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

std::string DefaultLogDirectory() { return "/var/log/stowline"; }

std::string DefaultSettingsPath() { return "/etc/stowline/config.ini"; }

int EnsureLogDirectory(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return 0;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty() && !std::filesystem::exists(parent, ec)) {
    std::filesystem::create_directories(parent, ec);
    if (ec) return ec.value();
  }
  if (::mkdir(path.c_str(), 0750) != 0) return errno == EEXIST ? 0 : errno;
  // The mode given to mkdir is narrowed by the umask; a folder made here gets 0750.
  if (::chmod(path.c_str(), 0750) != 0) return errno;
  return 0;
}

}  // namespace stow::platform
