#include "engine/ntfs/ClusterBitmap.h"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace stow::engine {
namespace {

constexpr uint64_t kBitsPerByte = 8;
constexpr std::byte kAllSet{0xFF};
constexpr std::byte kNoneSet{0x00};

}  // namespace

void SetClusterBits(MutableBytes bitmap, uint64_t bitLimit, uint64_t first, uint64_t count,
                    bool value) {
  const uint64_t limit = std::min<uint64_t>(bitLimit, uint64_t{bitmap.size()} * kBitsPerByte);
  if (first >= limit) return;
  const uint64_t end = count > limit - first ? limit : first + count;
  uint64_t c = first;
  // Partial first byte, whole bytes, partial last byte.
  for (; c < end && c % kBitsPerByte != 0; ++c) {
    const auto mask = static_cast<std::byte>(1u << (c % kBitsPerByte));
    bitmap[c / kBitsPerByte] =
        value ? (bitmap[c / kBitsPerByte] | mask) : (bitmap[c / kBitsPerByte] & ~mask);
  }
  if (end - c >= kBitsPerByte) {
    const uint64_t bytes = (end - c) / kBitsPerByte;
    std::fill_n(bitmap.begin() + static_cast<std::ptrdiff_t>(c / kBitsPerByte), bytes,
                value ? kAllSet : kNoneSet);
    c += bytes * kBitsPerByte;
  }
  for (; c < end; ++c) {
    const auto mask = static_cast<std::byte>(1u << (c % kBitsPerByte));
    bitmap[c / kBitsPerByte] =
        value ? (bitmap[c / kBitsPerByte] | mask) : (bitmap[c / kBitsPerByte] & ~mask);
  }
}

bool ClusterBit(Bytes bitmap, uint64_t cluster) {
  if (cluster / kBitsPerByte >= bitmap.size()) return true;
  return (static_cast<unsigned>(bitmap[cluster / kBitsPerByte]) >> (cluster % kBitsPerByte) & 1u) !=
         0;
}

uint64_t CountClusterBits(Bytes bitmap, uint64_t clusters) {
  clusters = std::min<uint64_t>(clusters, uint64_t{bitmap.size()} * kBitsPerByte);
  uint64_t count = 0;
  const uint64_t whole = clusters / kBitsPerByte;
  for (uint64_t i = 0; i < whole; ++i) {
    count += static_cast<uint64_t>(std::popcount(static_cast<unsigned>(bitmap[i])));
  }
  for (uint64_t c = whole * kBitsPerByte; c < clusters; ++c) count += ClusterBit(bitmap, c);
  return count;
}

bool AnyClusterBit(Bytes bitmap, uint64_t first, uint64_t count) {
  for (uint64_t c = first; c - first < count;) {
    if (c / kBitsPerByte >= bitmap.size()) return true;
    if (c % kBitsPerByte == 0 && count - (c - first) >= kBitsPerByte) {
      if (bitmap[c / kBitsPerByte] != kNoneSet) return true;
      c += kBitsPerByte;
      continue;
    }
    if (ClusterBit(bitmap, c)) return true;
    ++c;
  }
  return false;
}

}  // namespace stow::engine
