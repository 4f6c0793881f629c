// Little-endian access to on-disk data.
//
// Every structure read from a disk or an image goes through these helpers: a
// ByteView knows its own length, every read is bounds-checked, and a read that
// would leave the buffer yields 0 and marks the view as failed, so a parser can
// run a group of reads and check Ok() once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace stow {

using Bytes = std::span<const std::byte>;
using MutableBytes = std::span<std::byte>;

// True when [offset, offset + length) lies inside a buffer of `size` bytes,
// without overflowing on hostile values.
constexpr bool RangeFits(uint64_t size, uint64_t offset, uint64_t length) {
  return offset <= size && length <= size - offset;
}

inline uint8_t LoadU8(const std::byte* p) { return static_cast<uint8_t>(p[0]); }
inline uint16_t LoadLe16(const std::byte* p) {
  return static_cast<uint16_t>(static_cast<uint16_t>(p[0]) | (static_cast<uint16_t>(p[1]) << 8));
}
inline uint32_t LoadLe32(const std::byte* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadLe64(const std::byte* p) {
  return static_cast<uint64_t>(LoadLe32(p)) | (static_cast<uint64_t>(LoadLe32(p + 4)) << 32);
}

inline void StoreLe16(std::byte* p, uint16_t v) {
  p[0] = static_cast<std::byte>(v & 0xFF);
  p[1] = static_cast<std::byte>(v >> 8);
}
inline void StoreLe32(std::byte* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::byte>((v >> (8 * i)) & 0xFF);
}
inline void StoreLe64(std::byte* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::byte>((v >> (8 * i)) & 0xFF);
}

// Read-only, bounds-checked view over a byte range.
class ByteView {
 public:
  ByteView() = default;
  explicit ByteView(Bytes data) : data_(data) {}
  ByteView(const void* data, size_t size) : data_(static_cast<const std::byte*>(data), size) {}

  size_t size() const { return data_.size(); }
  const std::byte* data() const { return data_.data(); }
  Bytes span() const { return data_; }
  bool Ok() const { return ok_; }
  bool Contains(uint64_t offset, uint64_t length) const {
    return RangeFits(data_.size(), offset, length);
  }

  uint8_t U8(uint64_t offset) const { return Check(offset, 1) ? LoadU8(At(offset)) : 0; }
  uint16_t U16(uint64_t offset) const { return Check(offset, 2) ? LoadLe16(At(offset)) : 0; }
  uint32_t U32(uint64_t offset) const { return Check(offset, 4) ? LoadLe32(At(offset)) : 0; }
  uint64_t U64(uint64_t offset) const { return Check(offset, 8) ? LoadLe64(At(offset)) : 0; }

  // A sub-view; an out-of-range request gives an empty view and marks this one failed.
  ByteView Sub(uint64_t offset, uint64_t length) const {
    if (!Check(offset, length)) return ByteView();
    return ByteView(data_.subspan(static_cast<size_t>(offset), static_cast<size_t>(length)));
  }

  bool Equals(uint64_t offset, const void* expected, size_t length) const {
    return Check(offset, length) && std::memcmp(At(offset), expected, length) == 0;
  }

 private:
  bool Check(uint64_t offset, uint64_t length) const {
    if (Contains(offset, length)) return true;
    ok_ = false;
    return false;
  }
  const std::byte* At(uint64_t offset) const { return data_.data() + offset; }

  Bytes data_;
  mutable bool ok_ = true;
};

inline std::span<const std::byte> AsBytes(const void* p, size_t n) {
  return {static_cast<const std::byte*>(p), n};
}
inline std::span<std::byte> AsWritableBytes(void* p, size_t n) {
  return {static_cast<std::byte*>(p), n};
}

// CRC-32 (IEEE 802.3, reflected, as GPT uses it).
uint32_t Crc32(Bytes data, uint32_t seed = 0);

}  // namespace stow
