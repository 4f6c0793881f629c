// Task locks on Linux: flock on the device node or the file. flock locks
// belong to an open file description, so the process keeps one descriptor per
// locked device or file (the registry of platform/VolumeLock.cpp counts its
// holders); the descriptors are closed on exec, so the tools a task runs hold
// nothing.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/TaskLockRegistry.h"
#include "platform/VolumeUse.h"

namespace stow::platform {
namespace {

class Flock final : public SystemVolumeLock {
 public:
  explicit Flock(int fd) : fd_(fd) {}
  ~Flock() override {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
  Flock(const Flock&) = delete;
  Flock& operator=(const Flock&) = delete;

 private:
  int fd_;
};

class LinuxVolumeLocks final : public VolumeLockSystem {
 public:
  // Devices by number, files by file system and inode: every name of one
  // volume meets on one key.
  int KeyOf(const std::string& path, std::string& key) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return errno;
    if (S_ISBLK(st.st_mode)) {
      key = "b" + std::to_string(st.st_rdev);
    } else if (S_ISREG(st.st_mode)) {
      // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on the chained '+'.
      key = "f";
      key += std::to_string(st.st_dev);
      key += ':';
      key += std::to_string(st.st_ino);
    } else {
      return ENOTBLK;
    }
    return 0;
  }

  int Relatives(const std::string& path, std::vector<std::string>& holders,
                std::vector<std::string>& inside) override {
    return QueryVolumeRelatives(path, holders, inside);
  }

  int Take(const std::string& path, LockMode mode,
           std::unique_ptr<SystemVolumeLock>& out) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    const int operation = (mode == LockMode::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    if (::flock(fd, operation) != 0) {
      const int error = errno;
      ::close(fd);
      return error;
    }
    out = std::make_unique<Flock>(fd);
    return 0;
  }
};

}  // namespace

VolumeLockSystem& TheVolumeLockSystem() {
  static LinuxVolumeLocks system;
  return system;
}

}  // namespace stow::platform
