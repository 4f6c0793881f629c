// The cluster bitmap of an NTFS volume ($Bitmap's data): cluster 8 x i + k is
// in use when bit k of byte i is set. The bit operations that the source and
// destination checks, the destination fix-up and the writer share.
#pragma once

#include <cstdint>

#include "support/Bytes.h"

namespace stow::engine {

// Sets (or clears) the bits of clusters [first, first + count), never past
// `bitLimit` or the bitmap's end.
void SetClusterBits(MutableBytes bitmap, uint64_t bitLimit, uint64_t first, uint64_t count,
                    bool value = true);
bool ClusterBit(Bytes bitmap, uint64_t cluster);
// The clusters among [0, clusters) whose bits are set.
uint64_t CountClusterBits(Bytes bitmap, uint64_t clusters);
// True when any cluster of [first, first + count) is set (clusters past the
// bitmap count as set: nothing may be placed there).
bool AnyClusterBit(Bytes bitmap, uint64_t first, uint64_t count);

}  // namespace stow::engine
