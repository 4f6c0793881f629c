#include "platform/MemoryBlockDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace stow::platform {

MemoryBlockDevice::MemoryBlockDevice(std::vector<std::byte> data, uint32_t sectorSize)
    : data_(std::move(data)), sectorSize_(sectorSize) {}

MemoryBlockDevice::MemoryBlockDevice(uint64_t size, uint32_t sectorSize)
    : data_(static_cast<size_t>(size)), sectorSize_(sectorSize) {}

IoResult MemoryBlockDevice::ReadAt(uint64_t offset, std::span<std::byte> out) {
  ++readCalls_;
  if (failReads_ > 0) {
    --failReads_;
    if (shortReadBy_ == 0) return {0, EIO};
    const uint64_t n = out.size() > shortReadBy_ ? out.size() - shortReadBy_ : 0;
    const uint64_t avail = offset < data_.size() ? std::min<uint64_t>(n, data_.size() - offset) : 0;
    if (avail) std::memcpy(out.data(), data_.data() + offset, static_cast<size_t>(avail));
    return {avail, 0};
  }
  if (out.empty() || offset >= data_.size()) return {0, 0};
  const uint64_t n = std::min<uint64_t>(out.size(), data_.size() - offset);
  std::memcpy(out.data(), data_.data() + offset, static_cast<size_t>(n));
  return {n, 0};
}

IoResult MemoryBlockDevice::WriteAt(uint64_t offset, std::span<const std::byte> in) {
  ++writeCalls_;
  if (readOnly_) return {0, EBADF};
  if (failWrites_ > 0) {
    --failWrites_;
    return {0, EIO};
  }
  if (in.empty()) return {0, 0};
  if (offset >= data_.size()) return {0, ENOSPC};
  const uint64_t n = std::min<uint64_t>(in.size(), data_.size() - offset);
  std::memcpy(data_.data() + offset, in.data(), static_cast<size_t>(n));
  return {n, n == in.size() ? 0 : ENOSPC};
}

int MemoryBlockDevice::Lock() {
  if (refuseLock_ || locked_) return EBUSY;
  locked_ = true;
  return 0;
}

int MemoryBlockDevice::Unlock() {
  if (!locked_) return EINVAL;
  locked_ = false;
  return 0;
}

}  // namespace stow::platform
