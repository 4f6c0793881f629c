// The one interface through which the engine reaches a volume, a disk or a file
// standing in for either. Implementations: a Linux device or file, memory (tests
// and fuzzers), and a Windows volume, disk or file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace stow::platform {

// Result of one positioned transfer: the bytes moved and, when fewer than asked
// for were moved, the system error (0 for a plain end of device).
struct [[nodiscard]] IoResult {
  uint64_t bytes = 0;
  int error = 0;
};

class BlockDevice {
 public:
  virtual ~BlockDevice() = default;

  virtual const std::string& Path() const = 0;
  virtual uint64_t Size() const = 0;
  // The device's logical sector size (512 for a regular file).
  virtual uint32_t SectorSize() const = 0;
  virtual bool IsBlockDevice() const = 0;
  virtual bool IsWritable() const = 0;

  // Positioned transfers; both loop over short transfers before reporting one.
  virtual IoResult ReadAt(uint64_t offset, std::span<std::byte> out) = 0;
  virtual IoResult WriteAt(uint64_t offset, std::span<const std::byte> in) = 0;

  // Each returns 0 on success, else the system error.
  [[nodiscard]] virtual int Flush() = 0;
  // Exclusive use for writing: refused while the volume is mounted or locked elsewhere.
  [[nodiscard]] virtual int Lock() = 0;
  [[nodiscard]] virtual int Unlock() = 0;
  // Tells the system that the partition table on this disk changed.
  [[nodiscard]] virtual int UpdateProperties() = 0;

  // Starts writing [offset, offset + length) back to the storage without
  // waiting for it, so that a final Flush() finds little left to do. 0, or the
  // system error; devices without a cache have nothing to do. (Windows keeps
  // this default: it has no call that starts a write-back without waiting, and
  // its cache writes dirty pages behind on its own.)
  [[nodiscard]] virtual int StartWriteback(uint64_t /*offset*/, uint64_t /*length*/) { return 0; }

  // Forgets the system's cached copy of [offset, offset + length) (length 0:
  // to the end), so that the next read of it comes from the storage. Pages
  // not yet written back stay cached: Flush() first. 0, or the system error;
  // devices without a cache have nothing to do.
  [[nodiscard]] virtual int DropCachedData(uint64_t /*offset*/, uint64_t /*length*/) { return 0; }
  // Starts reading [offset, offset + length) into the system's cache without
  // waiting, so that a read of it soon after finds it there. 0, or the system
  // error; devices without a cache have nothing to do. (Windows keeps this
  // default: its volumes and disks are read unbuffered, around any cache, and
  // files opened for reading only are read ahead by the system.)
  [[nodiscard]] virtual int Prefetch(uint64_t /*offset*/, uint64_t /*length*/) { return 0; }
};

// Opens a device node or a regular file. Returns 0 and sets `out`, or the system error.
[[nodiscard]] int OpenBlockDevice(const std::string& path, bool readOnly,
                                  std::unique_ptr<BlockDevice>& out);

// Text for a system error number, for messages shown to the user.
std::string SystemErrorText(int error);

}  // namespace stow::platform
