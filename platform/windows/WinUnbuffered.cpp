// The transfers of WinUnbuffered.h: aligned requests go straight to the
// handle, others through a bounce buffer on the alignment.
#include "platform/windows/WinUnbuffered.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

namespace stow::platform::win {
namespace {

// The bounce buffer of one unaligned unbuffered transfer, at most.
constexpr uint64_t kDirectChunk = uint64_t{1} << 20;

uint64_t RoundUp(uint64_t value, uint64_t align) { return (value + align - 1) / align * align; }

bool IsAligned(uint64_t offset, uint64_t length, const void* address, uint64_t align) {
  return offset % align == 0 && length % align == 0 &&
         reinterpret_cast<uintptr_t>(address) % align == 0;
}

}  // namespace

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

// A buffer on `align` of at most kDirectChunk (or the alignment itself).
struct Unbuffered::Bounce {
  // Room for the asked bytes after an offset into the first sector, and at
  // least one whole sector besides; a multiple of `align`.
  Bounce(uint64_t length, uint64_t align) {
    size = std::max(std::min(RoundUp(length, align) + align, kDirectChunk), 2 * align);
    storage.reset(new (std::nothrow) std::byte[size + align]);
    if (!storage) return;
    const auto address = reinterpret_cast<uintptr_t>(storage.get());
    data = storage.get() + (align - address % align) % align;
  }
  explicit operator bool() const { return data != nullptr; }
  std::unique_ptr<std::byte[]> storage;
  std::byte* data = nullptr;
  uint64_t size = 0;
};

IoResult Unbuffered::Read(uint64_t offset, std::span<std::byte> out) {
  if (out.empty()) return {0, 0};
  if (IsAligned(offset, out.size(), out.data(), align_)) {
    uint64_t done = 0;
    while (done < out.size()) {
      const uint64_t ask = Limit(offset + done, out.size() - done);
      if (ask == 0) break;
      DWORD got = 0;
      if (const int error = Transfer(false, offset + done, out.data() + done, ask, got);
          error != 0) {
        return {done, error};
      }
      done += got;
      if (got < ask) break;
    }
    return {done, 0};
  }
  Bounce bounce(out.size(), align_);
  if (!bounce) return {0, ENOMEM};
  uint64_t done = 0;
  while (done < out.size()) {
    const uint64_t at = offset + done;
    const uint64_t start = at - at % align_;
    const uint64_t skip = at - start;
    const uint64_t want = std::min(out.size() - done, bounce.size - skip);
    const uint64_t ask = Limit(start, RoundUp(skip + want, align_));
    if (ask <= skip) break;
    DWORD got = 0;
    if (const int error = Transfer(false, start, bounce.data, ask, got); error != 0) {
      return {done, error};
    }
    if (got <= skip) break;
    const uint64_t delivered = std::min<uint64_t>(got - skip, want);
    std::memcpy(out.data() + done, bounce.data + skip, delivered);
    done += delivered;
    if (delivered < want) break;
  }
  return {done, 0};
}

IoResult Unbuffered::Write(uint64_t offset, std::span<const std::byte> in) {
  if (in.empty()) return {0, 0};
  if (IsAligned(offset, in.size(), in.data(), align_)) {
    uint64_t done = 0;
    while (done < in.size()) {
      const uint64_t ask = std::min<uint64_t>(in.size() - done, kMaxTransfer);
      DWORD put = 0;
      // WriteFile only reads the buffer.
      // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
      std::byte* const from = const_cast<std::byte*>(in.data() + done);
      if (const int error = Transfer(true, offset + done, from, ask, put); error != 0) {
        return {done, error};
      }
      if (put == 0) return {done, ENOSPC};
      done += put;
    }
    return {done, 0};
  }
  Bounce bounce(in.size(), align_);
  if (!bounce) return {0, ENOMEM};
  uint64_t done = 0;
  while (done < in.size()) {
    const uint64_t at = offset + done;
    const uint64_t start = at - at % align_;
    const uint64_t skip = at - start;
    const uint64_t want = std::min(in.size() - done, bounce.size - skip);
    const uint64_t ask = RoundUp(skip + want, align_);
    if (skip != 0 || want != ask) {
      // The sectors written in part keep the rest of their bytes.
      DWORD got = 0;
      const uint64_t readable = Limit(start, ask);
      if (readable > 0) {
        if (const int error = Transfer(false, start, bounce.data, readable, got); error != 0) {
          return {done, error};
        }
      }
      std::memset(bounce.data + got, 0, ask - got);
    }
    std::memcpy(bounce.data + skip, in.data() + done, want);
    DWORD put = 0;
    if (const int error = Transfer(true, start, bounce.data, ask, put); error != 0) {
      return {done, error};
    }
    if (put < ask) return {done, ENOSPC};
    done += want;
  }
  return {done, 0};
}

uint64_t Unbuffered::Limit(uint64_t start, uint64_t length) const {
  length = std::min<uint64_t>(length, kMaxTransfer);
  if (end_ == kNoEnd) return length;
  if (start >= end_) return 0;
  return std::min(length, RoundUp(end_ - start, align_));
}

int Unbuffered::Transfer(bool write, uint64_t offset, std::byte* data, uint64_t length,
                         DWORD& moved) {
  moved = 0;
  if (!IsAligned(offset, length, data, align_)) return EINVAL;
  OVERLAPPED overlapped = At(offset);
  const DWORD ask = static_cast<DWORD>(length);
  const BOOL ok = write ? ::WriteFile(handle_, data, ask, &moved, &overlapped)
                        : ::ReadFile(handle_, data, ask, &moved, &overlapped);
  if (ok) return 0;
  const DWORD error = ::GetLastError();
  if (!write && error == ERROR_HANDLE_EOF) return 0;
  return ErrnoFromWin32(error);
}

}  // namespace stow::platform::win
