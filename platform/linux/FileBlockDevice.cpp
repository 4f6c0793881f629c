// Block devices and regular files on Linux.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/BlockDevice.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/VolumeLock.h"

namespace stow::platform {
namespace {

class FileBlockDevice final : public BlockDevice {
 public:
  FileBlockDevice(std::string path, int fd, bool isBlock, bool writable, uint64_t size,
                  uint32_t sectorSize)
      : path_(std::move(path)),
        fd_(fd),
        isBlock_(isBlock),
        writable_(writable),
        size_(size),
        sectorSize_(sectorSize) {}

  ~FileBlockDevice() override {
    // Closing the descriptor releases its advisory lock in any case.
    static_cast<void>(Unlock());
    ::close(fd_);
  }

  const std::string& Path() const override { return path_; }
  uint64_t Size() const override { return size_; }
  uint32_t SectorSize() const override { return sectorSize_; }
  bool IsBlockDevice() const override { return isBlock_; }
  bool IsWritable() const override { return writable_; }

  [[nodiscard]] IoResult ReadAt(uint64_t offset, std::span<std::byte> out) override {
    uint64_t done = 0;
    while (done < out.size()) {
      const ssize_t n =
          ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return {done, errno};
      }
      if (n == 0) break;
      done += static_cast<uint64_t>(n);
    }
    return {done, 0};
  }

  [[nodiscard]] IoResult WriteAt(uint64_t offset, std::span<const std::byte> in) override {
    uint64_t done = 0;
    while (done < in.size()) {
      const ssize_t n =
          ::pwrite(fd_, in.data() + done, in.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return {done, errno};
      }
      if (n == 0) return {done, ENOSPC};
      done += static_cast<uint64_t>(n);
    }
    return {done, 0};
  }

  [[nodiscard]] int Flush() override { return ::fsync(fd_) == 0 ? 0 : errno; }

  [[nodiscard]] int StartWriteback(uint64_t offset, uint64_t length) override {
    return ::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                             SYNC_FILE_RANGE_WRITE) == 0
               ? 0
               : errno;
  }

  [[nodiscard]] int DropCachedData(uint64_t offset, uint64_t length) override {
    // For a device node this drops the pages of the device's own cache, which
    // is where the writes of this descriptor went.
    return ::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                           POSIX_FADV_DONTNEED);
  }

  [[nodiscard]] int Prefetch(uint64_t offset, uint64_t length) override {
    return ::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                           POSIX_FADV_WILLNEED);
  }

  [[nodiscard]] int Lock() override {
    if (lockFd_ >= 0) return EBUSY;
    // A block device opened with O_EXCL is refused while mounted or held exclusively
    // elsewhere; the advisory lock keeps two instances of this program apart.
    const int flags = O_RDONLY | O_CLOEXEC | (isBlock_ ? O_EXCL : 0);
    const int fd = ::open(path_.c_str(), flags);
    if (fd < 0) return errno;
    // The task that runs this writer already holds the advisory lock; a second
    // one on another descriptor would conflict with it.
    if (ProcessHoldsTaskLock(path_)) {
      lockFd_ = fd;
      return 0;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd);
      return err;
    }
    lockFd_ = fd;
    return 0;
  }

  [[nodiscard]] int Unlock() override {
    if (lockFd_ < 0) return EINVAL;
    ::flock(lockFd_, LOCK_UN);
    ::close(lockFd_);
    lockFd_ = -1;
    return 0;
  }

  [[nodiscard]] int UpdateProperties() override {
    if (!isBlock_) return 0;
    ::fsync(fd_);
    // Re-reads the table and updates the kernel's partitions in place, as partx -u does.
    // It reads one partition table: a minute is plenty even for a slow disk.
    ProgramRun run;
    run.argv = {"partx", "-u", path_};
    run.timeLimit = std::chrono::minutes(1);
    return RunProgram(run).Succeeded() ? 0 : EIO;
  }

 private:
  std::string path_;
  int fd_;
  bool isBlock_;
  bool writable_;
  uint64_t size_;
  uint32_t sectorSize_;
  int lockFd_ = -1;
};

}  // namespace

int OpenBlockDevice(const std::string& path, bool readOnly, std::unique_ptr<BlockDevice>& out) {
  // Without O_NONBLOCK the open of a FIFO waits for a writer, for ever; the
  // kind is checked below and the flag cleared again.
  const int fd = ::open(path.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return err;
  }
  if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
    ::close(fd);
    return ENOTBLK;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int err = errno;
    ::close(fd);
    return err;
  }
  uint64_t size = 0;
  uint32_t sectorSize = 512;
  const bool isBlock = S_ISBLK(st.st_mode);
  if (isBlock) {
    int logical = 0;
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0 || ::ioctl(fd, BLKSSZGET, &logical) != 0) {
      const int err = errno;
      ::close(fd);
      return err;
    }
    sectorSize = static_cast<uint32_t>(logical);
  } else if (S_ISREG(st.st_mode)) {
    size = static_cast<uint64_t>(st.st_size);
  } else {
    ::close(fd);
    return ENOTBLK;
  }
  out = std::make_unique<FileBlockDevice>(path, fd, isBlock, !readOnly, size, sectorSize);
  return 0;
}

std::string SystemErrorText(int error) { return std::strerror(error); }

// Image files: created (or emptied) for positioned reads and writes.
int CreateRegularFile(const std::string& path, std::unique_ptr<BlockDevice>& out) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  out = std::make_unique<FileBlockDevice>(path, fd, false, true, 0, 512);
  return 0;
}

int CreateNewFile(const std::string& path, std::unique_ptr<BlockDevice>& out) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  out = std::make_unique<FileBlockDevice>(path, fd, false, true, 0, 512);
  return 0;
}

}  // namespace stow::platform
