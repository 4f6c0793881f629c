// Volumes, disks and regular files on Windows: CreateFileW with read and write
// sharing, positioned synchronous transfers (the OVERLAPPED offsets on a
// handle opened without FILE_FLAG_OVERLAPPED), and the volume and disk control
// codes for locking and for a changed partition table.
//
// Read-backs must come from the storage, not from a copy the system keeps.
//
// A volume ("\\.\X:") or disk ("\\.\PhysicalDriveN") is opened with
// FILE_FLAG_NO_BUFFERING, so that no transfer on it goes through the system's
// cache and a drop (DropCachedData) has nothing to do. A second, unbuffered
// handle would not do there: a volume locked with FSCTL_LOCK_VOLUME can be
// reached only through the handle that locked it, and the lock is refused
// while other handles are open. Unbuffered transfers start, end and sit in
// memory on a multiple of the device's sector size (from the geometry query;
// 4096 when it does not answer): aligned requests go straight through, others
// through an aligned bounce buffer, a partly written sector read first. When a
// device refuses to open unbuffered, it is opened as before and a drop returns
// EOPNOTSUPP, so that a verify says it cannot read back from the device.
//
// A regular file is opened cached. Dropping its cached data opens a second,
// read-only handle on it with FILE_FLAG_NO_BUFFERING, and from then on reads
// go through that handle in the same aligned way. A write switches reads back
// to the cached handle (which sees the write at once) until the next drop; the
// caller flushes before dropping, as the interface asks. If the unbuffered
// handle cannot be opened, the drop returns that error and reads stay as they
// were. A file opened for reading only is opened with FILE_FLAG_SEQUENTIAL_SCAN:
// images and volume files are read front to back, and the cache reads ahead.
//
// Prefetch keeps the interface's default: the cache's own read-ahead (above)
// serves cached files, and unbuffered reads have no cache to fill. So does
// StartWriteback: Win32 has no call that starts writing a range back without
// waiting (FlushFileBuffers waits for all of it), and the cache manager's lazy
// writer already writes dirty pages behind.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/BlockDevice.h"
#include "platform/Files.h"
#include "platform/VolumeLock.h"
#include "platform/windows/Win32.h"
#include "platform/windows/WinBlockDevices.h"
#include "platform/windows/WinLocks.h"
#include "platform/windows/WinUnbuffered.h"

namespace stow::platform {
namespace {

using win::At;
using win::kDirectAlign;
using win::kMaxTransfer;
using win::kNoEnd;
using win::Unbuffered;

// How a handle reaches the storage.
enum class Caching {
  kCached,        // a regular file: through the system's cache, dropped on demand
  kUnbuffered,    // a device opened with FILE_FLAG_NO_BUFFERING: never cached
  kDeviceCached,  // a device that refused FILE_FLAG_NO_BUFFERING: read-backs cannot be trusted
};

class FileBlockDevice final : public BlockDevice {
 public:
  FileBlockDevice(std::string path, std::wstring openName, win::Handle handle, bool isDevice,
                  bool writable, uint64_t size, uint32_t sectorSize, Caching caching,
                  uint64_t align)
      : path_(std::move(path)),
        openName_(std::move(openName)),
        handle_(std::move(handle)),
        isDevice_(isDevice),
        writable_(writable),
        size_(size),
        sectorSize_(sectorSize),
        caching_(caching),
        align_(align) {}

  ~FileBlockDevice() override { static_cast<void>(Unlock()); }

  const std::string& Path() const override { return path_; }
  uint64_t Size() const override { return size_; }
  uint32_t SectorSize() const override { return sectorSize_; }
  bool IsBlockDevice() const override { return isDevice_; }
  bool IsWritable() const override { return writable_; }

  [[nodiscard]] IoResult ReadAt(uint64_t offset, std::span<std::byte> out) override {
    if (caching_ == Caching::kUnbuffered) {
      return Unbuffered(handle_.Get(), align_, size_).Read(offset, out);
    }
    if (directReads_.load(std::memory_order_acquire)) {
      return Unbuffered(direct_.Get(), kDirectAlign, kNoEnd).Read(offset, out);
    }
    uint64_t done = 0;
    while (done < out.size()) {
      const uint64_t left = out.size() - done;
      const DWORD ask = left > kMaxTransfer ? kMaxTransfer : static_cast<DWORD>(left);
      OVERLAPPED overlapped = At(offset + done);
      DWORD got = 0;
      if (!::ReadFile(handle_.Get(), out.data() + done, ask, &got, &overlapped)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_HANDLE_EOF) break;
        return {done, win::ErrnoFromWin32(error)};
      }
      if (got == 0) break;
      done += got;
    }
    return {done, 0};
  }

  [[nodiscard]] IoResult WriteAt(uint64_t offset, std::span<const std::byte> in) override {
    if (caching_ == Caching::kUnbuffered) {
      return Unbuffered(handle_.Get(), align_, size_).Write(offset, in);
    }
    // What is written now sits in the cache of this handle: reads see it there.
    directReads_.store(false, std::memory_order_release);
    uint64_t done = 0;
    while (done < in.size()) {
      const uint64_t left = in.size() - done;
      const DWORD ask = left > kMaxTransfer ? kMaxTransfer : static_cast<DWORD>(left);
      OVERLAPPED overlapped = At(offset + done);
      DWORD put = 0;
      if (!::WriteFile(handle_.Get(), in.data() + done, ask, &put, &overlapped)) {
        return {done, win::LastErrno()};
      }
      if (put == 0) return {done, ENOSPC};
      done += put;
    }
    return {done, 0};
  }

  [[nodiscard]] int Flush() override {
    if (!writable_) return 0;
    return ::FlushFileBuffers(handle_.Get()) ? 0 : win::LastErrno();
  }

  [[nodiscard]] int DropCachedData(uint64_t /*offset*/, uint64_t /*length*/) override {
    if (caching_ == Caching::kUnbuffered) return 0;
    if (caching_ == Caching::kDeviceCached) return EOPNOTSUPP;
    std::lock_guard<std::mutex> hold(directMutex_);
    if (!direct_.Valid()) {
      win::Handle direct(::CreateFileW(openName_.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING, nullptr));
      if (!direct.Valid()) return win::LastErrno();
      direct_ = std::move(direct);
    }
    directReads_.store(true, std::memory_order_release);
    return 0;
  }

  [[nodiscard]] int Lock() override {
    if (locked_) return EBUSY;
    if (isDevice_) {
      // The volume (or disk) is refused while the system or another program
      // has it open; the lock holds until it is unlocked or the handle closes.
      DWORD returned = 0;
      if (!::DeviceIoControl(handle_.Get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned,
                             nullptr)) {
        return win::LastErrno();
      }
      locked_ = true;
      return 0;
    }
    // A file standing in for a volume: the advisory lock that keeps two
    // instances of this program apart, unless this task already holds it.
    if (!ProcessHoldsTaskLock(path_)) {
      if (const int error = win::TakeAdvisoryLock(path_, true, advisory_); error != 0) {
        return error;
      }
    }
    locked_ = true;
    return 0;
  }

  [[nodiscard]] int Unlock() override {
    if (!locked_) return EINVAL;
    locked_ = false;
    if (isDevice_) {
      DWORD returned = 0;
      return ::DeviceIoControl(handle_.Get(), FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0,
                               &returned, nullptr)
                 ? 0
                 : win::LastErrno();
    }
    advisory_.Close();
    return 0;
  }

  [[nodiscard]] int UpdateProperties() override {
    if (!isDevice_) return 0;
    ::FlushFileBuffers(handle_.Get());
    DWORD returned = 0;
    return ::DeviceIoControl(handle_.Get(), IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0,
                             &returned, nullptr)
               ? 0
               : win::LastErrno();
  }

 private:
  std::string path_;
  std::wstring openName_;
  win::Handle handle_;
  bool isDevice_;
  bool writable_;
  uint64_t size_;
  uint32_t sectorSize_;
  Caching caching_;
  uint64_t align_;  // of the transfers on an unbuffered device
  bool locked_ = false;
  win::Handle advisory_;
  std::mutex directMutex_;
  win::Handle direct_;
  std::atomic<bool> directReads_{false};
};

// "\\.\C:" for a drive letter, the path itself otherwise.
std::wstring OpenName(const std::string& path, bool& isDevice) {
  if (const wchar_t letter = win::DriveLetterOf(path); letter != 0) {
    isDevice = true;
    return std::wstring(L"\\\\.\\") + letter + L":";
  }
  isDevice = path.rfind("\\\\.\\", 0) == 0 || path.rfind("\\\\?\\GLOBALROOT", 0) == 0;
  return win::Widen(path);
}

// The size of a volume or disk, and its sector size with whether the
// geometry query answered (512 is shown when it does not).
int DeviceSize(HANDLE handle, uint64_t& size, uint32_t& sectorSize, bool& sectorKnown) {
  DWORD returned = 0;
  GET_LENGTH_INFORMATION length{};
  if (!::DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                         &returned, nullptr)) {
    return win::LastErrno();
  }
  size = static_cast<uint64_t>(length.Length.QuadPart);
  DISK_GEOMETRY geometry{};
  sectorSize = 512;
  sectorKnown = false;
  if (::DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                        sizeof geometry, &returned, nullptr) &&
      geometry.BytesPerSector != 0) {
    sectorSize = geometry.BytesPerSector;
    sectorKnown = true;
  }
  return 0;
}

int OpenHandle(const std::wstring& name, DWORD access, DWORD disposition, DWORD flags,
               win::Handle& out) {
  out = win::Handle(::CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  disposition, FILE_ATTRIBUTE_NORMAL | flags, nullptr));
  return out.Valid() ? 0 : win::LastErrno();
}

// A volume or disk, unbuffered unless it refuses to be.
int OpenDevice(const std::string& path, const std::wstring& name, DWORD access,
               std::unique_ptr<BlockDevice>& out) {
  Caching caching = Caching::kUnbuffered;
  win::Handle handle(::CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING, nullptr));
  if (!handle.Valid()) {
    const DWORD refused = ::GetLastError();
    if (refused != ERROR_INVALID_PARAMETER && refused != ERROR_NOT_SUPPORTED) {
      return win::ErrnoFromWin32(refused);
    }
    caching = Caching::kDeviceCached;
    if (const int error = OpenHandle(name, access, OPEN_EXISTING, 0, handle); error != 0) {
      return error;
    }
  }
  uint64_t size = 0;
  uint32_t sectorSize = 512;
  bool sectorKnown = false;
  if (const int error = DeviceSize(handle.Get(), size, sectorSize, sectorKnown); error != 0) {
    return error;
  }
  // A sector size that is no power of two cannot be aligned on; 4096 is a
  // multiple of every usual one.
  const bool usable = sectorKnown && (sectorSize & (sectorSize - 1)) == 0;
  const uint64_t align = usable ? sectorSize : kDirectAlign;
  out = std::make_unique<FileBlockDevice>(path, name, std::move(handle), true,
                                          (access & GENERIC_WRITE) != 0, size, sectorSize, caching,
                                          align);
  return 0;
}

}  // namespace

int OpenBlockDevice(const std::string& path, bool readOnly, std::unique_ptr<BlockDevice>& out) {
  bool isDevice = false;
  const std::wstring name = OpenName(path, isDevice);
  const DWORD access = GENERIC_READ | (readOnly ? 0 : GENERIC_WRITE);
  if (isDevice) return OpenDevice(path, name, access, out);
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return win::LastErrno();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ENOTBLK;
  win::Handle handle;
  const DWORD flags = readOnly ? FILE_FLAG_SEQUENTIAL_SCAN : 0;
  if (const int error = OpenHandle(name, access, OPEN_EXISTING, flags, handle); error != 0) {
    return error;
  }
  if (::GetFileType(handle.Get()) != FILE_TYPE_DISK) return ENOTBLK;
  LARGE_INTEGER length{};
  if (!::GetFileSizeEx(handle.Get(), &length)) return win::LastErrno();
  out = std::make_unique<FileBlockDevice>(path, name, std::move(handle), false, !readOnly,
                                          static_cast<uint64_t>(length.QuadPart), 512,
                                          Caching::kCached, kDirectAlign);
  return 0;
}

int OpenFileAsUnbufferedDeviceForTesting(const std::string& path, uint32_t sectorSize,
                                         std::unique_ptr<BlockDevice>& out) {
  const std::wstring name = win::Widen(path);
  win::Handle handle;
  if (const int error = OpenHandle(name, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING,
                                   FILE_FLAG_NO_BUFFERING, handle);
      error != 0) {
    return error;
  }
  LARGE_INTEGER length{};
  if (!::GetFileSizeEx(handle.Get(), &length)) return win::LastErrno();
  out = std::make_unique<FileBlockDevice>(path, name, std::move(handle), false, true,
                                          static_cast<uint64_t>(length.QuadPart), sectorSize,
                                          Caching::kUnbuffered, sectorSize);
  return 0;
}

std::string SystemErrorText(int error) {
  // The C library here knows the classic numbers only.
  switch (error) {
    case EWOULDBLOCK:
      return "Resource temporarily unavailable";
    case ENOTSUP:
    case EOPNOTSUPP:
      return "Operation not supported";
    case ETIMEDOUT:
      return "Connection timed out";
    case EOVERFLOW:
      return "Value too large for defined data type";
    case ENOTBLK:
      return "Block device required";
    default:
      return std::strerror(error);
  }
}

int CreateRegularFile(const std::string& path, std::unique_ptr<BlockDevice>& out) {
  win::Handle handle;
  std::wstring name = win::Widen(path);
  if (const int error = OpenHandle(name, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, 0, handle);
      error != 0) {
    return error;
  }
  out = std::make_unique<FileBlockDevice>(path, std::move(name), std::move(handle), false, true, 0,
                                          512, Caching::kCached, kDirectAlign);
  return 0;
}

int CreateNewFile(const std::string& path, std::unique_ptr<BlockDevice>& out) {
  win::Handle handle;
  std::wstring name = win::Widen(path);
  if (const int error = OpenHandle(name, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, 0, handle);
      error != 0) {
    return error;
  }
  out = std::make_unique<FileBlockDevice>(path, std::move(name), std::move(handle), false, true, 0,
                                          512, Caching::kCached, kDirectAlign);
  return 0;
}

}  // namespace stow::platform
