#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>

namespace stow::platform {

std::string TemporaryPathBeside(const std::string& target) {
  const std::filesystem::path path(target);
  std::random_device random;
  const uint32_t tag = random() ^ (static_cast<uint32_t>(::getpid()) << 12);
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08x", tag);
  return (path.parent_path() / ("." + path.filename().string() + "." + hex + ".partial")).string();
}

int ReplaceFile(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return errno;
  std::filesystem::path folder = std::filesystem::path(to).parent_path();
  if (folder.empty()) folder = ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int synced = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return synced;
}

int RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int QueryFileSize(const std::string& path, uint64_t& size) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int QueryFreeSpace(const std::string& path, uint64_t& freeBytes) {
  std::filesystem::path probe =
      path.empty() ? std::filesystem::path(".") : std::filesystem::path(path);
  // Walk up to the nearest existing entry: a backup names a file that does not exist yet.
  for (int depth = 0; depth < 4096; ++depth) {
    struct statvfs vfs {};
    if (::statvfs(probe.c_str(), &vfs) == 0) {
      freeBytes = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
      return 0;
    }
    if (errno != ENOENT && errno != ENOTDIR) return errno;
    if (!probe.has_relative_path() || probe == probe.parent_path()) break;
    probe = probe.parent_path();
    if (probe.empty()) probe = ".";
  }
  return ENOENT;
}

}  // namespace stow::platform
