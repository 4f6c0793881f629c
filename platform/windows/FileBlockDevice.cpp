// Volumes, disks and regular files on Windows: CreateFileW with read and write
// sharing, positioned synchronous transfers (the OVERLAPPED offsets on a
// handle opened without FILE_FLAG_OVERLAPPED), and the volume and disk control
// codes for locking and for a changed partition table.
//
// Dropping the cached data of a regular file (DropCachedData) opens a second,
// read-only handle on it with FILE_FLAG_NO_BUFFERING, and from then on reads
// go through that handle, a sector-aligned bounce buffer in between, so that a
// read-back after Flush() comes from the disk and not from the system's cache.
// A write switches reads back to the cached handle (which sees the write at
// once) until the next drop; the caller flushes before dropping, as the
// interface asks. A volume or disk handle reads the device without the file
// cache already (its transfers are sector-aligned for that reason), so there
// a drop has nothing to do. If the unbuffered handle cannot be opened, the
// drop returns that error and reads stay as they were.

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/BlockDevice.h"
#include "platform/Files.h"
#include "platform/VolumeLock.h"
#include "platform/windows/Win32.h"
#include "platform/windows/WinLocks.h"

namespace stow::platform {
namespace {

// One transfer is at most this long; longer ones are split.
constexpr DWORD kMaxTransfer = DWORD{1} << 30;
// Unbuffered transfers start, end and sit in memory on this boundary, a
// multiple of every sector size.
constexpr uint64_t kDirectAlign = 4096;
// The bounce buffer of one unbuffered read, at most.
constexpr uint64_t kDirectChunk = uint64_t{1} << 20;

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

class FileBlockDevice final : public BlockDevice {
 public:
  FileBlockDevice(std::string path, std::wstring openName, win::Handle handle, bool isDevice,
                  bool writable, uint64_t size, uint32_t sectorSize)
      : path_(std::move(path)),
        openName_(std::move(openName)),
        handle_(std::move(handle)),
        isDevice_(isDevice),
        writable_(writable),
        size_(size),
        sectorSize_(sectorSize) {}

  ~FileBlockDevice() override { static_cast<void>(Unlock()); }

  const std::string& Path() const override { return path_; }
  uint64_t Size() const override { return size_; }
  uint32_t SectorSize() const override { return sectorSize_; }
  bool IsBlockDevice() const override { return isDevice_; }
  bool IsWritable() const override { return writable_; }

  [[nodiscard]] IoResult ReadAt(uint64_t offset, std::span<std::byte> out) override {
    if (directReads_.load(std::memory_order_acquire)) return ReadDirect(offset, out);
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
    if (isDevice_) return 0;
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
  // A read through the unbuffered handle: whole aligned blocks into an aligned
  // buffer, the asked bytes copied out. A read reaching past the end of the
  // file delivers what is there, as a cached read does.
  IoResult ReadDirect(uint64_t offset, std::span<std::byte> out) {
    if (out.empty()) return {0, 0};
    const uint64_t first = offset - offset % kDirectAlign;
    const uint64_t last = offset + out.size();
    const uint64_t span = (last - first + kDirectAlign - 1) / kDirectAlign * kDirectAlign;
    const uint64_t capacity = span < kDirectChunk ? span : kDirectChunk;
    const std::unique_ptr<std::byte[]> storage(new (std::nothrow)
                                                   std::byte[capacity + kDirectAlign]);
    if (!storage) return {0, ENOMEM};
    const auto address = reinterpret_cast<uintptr_t>(storage.get());
    std::byte* const bounce =
        storage.get() + (kDirectAlign - address % kDirectAlign) % kDirectAlign;
    uint64_t done = 0;
    while (done < out.size()) {
      const uint64_t at = offset + done;
      const uint64_t start = at - at % kDirectAlign;
      const uint64_t skip = at - start;
      const uint64_t left = out.size() - done;
      const uint64_t want = left < capacity - skip ? left : capacity - skip;
      const uint64_t ask = (skip + want + kDirectAlign - 1) / kDirectAlign * kDirectAlign;
      OVERLAPPED overlapped = At(start);
      DWORD got = 0;
      if (!::ReadFile(direct_.Get(), bounce, static_cast<DWORD>(ask), &got, &overlapped)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_HANDLE_EOF) break;
        return {done, win::ErrnoFromWin32(error)};
      }
      if (got <= skip) break;
      const uint64_t delivered = got - skip < want ? got - skip : want;
      std::memcpy(out.data() + done, bounce + skip, delivered);
      done += delivered;
      if (delivered < want) break;
    }
    return {done, 0};
  }

  std::string path_;
  std::wstring openName_;
  win::Handle handle_;
  bool isDevice_;
  bool writable_;
  uint64_t size_;
  uint32_t sectorSize_;
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

int DeviceSize(HANDLE handle, uint64_t& size, uint32_t& sectorSize) {
  DWORD returned = 0;
  GET_LENGTH_INFORMATION length{};
  if (!::DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                         &returned, nullptr)) {
    return win::LastErrno();
  }
  size = static_cast<uint64_t>(length.Length.QuadPart);
  DISK_GEOMETRY geometry{};
  sectorSize = 512;
  if (::DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                        sizeof geometry, &returned, nullptr) &&
      geometry.BytesPerSector != 0) {
    sectorSize = geometry.BytesPerSector;
  }
  return 0;
}

int OpenHandle(const std::wstring& name, DWORD access, DWORD disposition, win::Handle& out) {
  out = win::Handle(::CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  return out.Valid() ? 0 : win::LastErrno();
}

}  // namespace

int OpenBlockDevice(const std::string& path, bool readOnly, std::unique_ptr<BlockDevice>& out) {
  bool isDevice = false;
  const std::wstring name = OpenName(path, isDevice);
  if (!isDevice) {
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return win::LastErrno();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ENOTBLK;
  }
  win::Handle handle;
  const DWORD access = GENERIC_READ | (readOnly ? 0 : GENERIC_WRITE);
  if (const int error = OpenHandle(name, access, OPEN_EXISTING, handle); error != 0) return error;
  uint64_t size = 0;
  uint32_t sectorSize = 512;
  if (isDevice) {
    if (const int error = DeviceSize(handle.Get(), size, sectorSize); error != 0) return error;
  } else {
    if (::GetFileType(handle.Get()) != FILE_TYPE_DISK) return ENOTBLK;
    LARGE_INTEGER length{};
    if (!::GetFileSizeEx(handle.Get(), &length)) return win::LastErrno();
    size = static_cast<uint64_t>(length.QuadPart);
  }
  out = std::make_unique<FileBlockDevice>(path, name, std::move(handle), isDevice, !readOnly,
                                          size, sectorSize);
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
  if (const int error = OpenHandle(name, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, handle);
      error != 0) {
    return error;
  }
  out = std::make_unique<FileBlockDevice>(path, std::move(name), std::move(handle), false, true, 0,
                                          512);
  return 0;
}

int CreateNewFile(const std::string& path, std::unique_ptr<BlockDevice>& out) {
  win::Handle handle;
  std::wstring name = win::Widen(path);
  if (const int error = OpenHandle(name, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, handle);
      error != 0) {
    return error;
  }
  out = std::make_unique<FileBlockDevice>(path, std::move(name), std::move(handle), false, true, 0,
                                          512);
  return 0;
}

}  // namespace stow::platform
