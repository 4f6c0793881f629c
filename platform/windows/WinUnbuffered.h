// Positioned transfers on Windows handles: the OVERLAPPED offset of a
// synchronous transfer, and the transfers through a handle opened with
// FILE_FLAG_NO_BUFFERING, which the system takes only when they start, end and
// sit in memory on the device's sector size. Requests off that alignment go
// through an aligned bounce buffer; a sector written in part is read first, so
// that it keeps the rest of its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/BlockDevice.h"
#include "platform/windows/Win32.h"

namespace stow::platform::win {

// One transfer is at most this long; longer ones are split. A multiple of
// every sector size.
inline constexpr DWORD kMaxTransfer = DWORD{1} << 30;
// The alignment of unbuffered transfers on a regular file, and on a device
// whose sector size is unknown: a multiple of every sector size.
inline constexpr uint64_t kDirectAlign = 4096;
// No end: reads of a file end where the file does.
inline constexpr uint64_t kNoEnd = ~uint64_t{0};

// The OVERLAPPED of a synchronous transfer at `offset`.
OVERLAPPED At(uint64_t offset);

// Transfers through a handle opened with FILE_FLAG_NO_BUFFERING: every
// request the system sees starts, ends and sits in memory on `align` (a power
// of two). `end` is the size of a device, which reads are cut at (rounded up to
// `align`), or kNoEnd for a file, whose reads end short at its end.
class Unbuffered {
 public:
  Unbuffered(HANDLE handle, uint64_t align, uint64_t end)
      : handle_(handle), align_(align), end_(end) {}

  IoResult Read(uint64_t offset, std::span<std::byte> out);
  IoResult Write(uint64_t offset, std::span<const std::byte> in);

 private:
  struct Bounce;

  // `length` from `start`, cut at the end of a device.
  uint64_t Limit(uint64_t start, uint64_t length) const;
  // One ReadFile or WriteFile; a request off the alignment is refused here,
  // as the device would refuse it. A read at the end of a file moves nothing.
  int Transfer(bool write, uint64_t offset, std::byte* data, uint64_t length, DWORD& moved);

  HANDLE handle_;
  uint64_t align_;
  uint64_t end_;
};

}  // namespace stow::platform::win
