// What the inventory reads from an NTFS volume itself: the cluster size from its
// boot sector, and, for a volume that is not mounted (so no file system driver can
// be asked), the free space counted in its cluster bitmap ($Bitmap, record 6).
//
// The volume is hostile input: the boot sector's geometry is checked against the
// device, the bitmap's run list must cover the bitmap, and reads are bounded.
#pragma once

#include <cstdint>

#include "engine/disk/Disk.h"
#include "support/Bytes.h"

namespace stow::discovery {

// Boot sector fields (byte offsets) and the limits of a sane NTFS geometry.
inline constexpr size_t kNtfsOemIdOffset = 3;
inline constexpr uint32_t kNtfsMinSectorSize = 256;
inline constexpr uint32_t kNtfsMaxSectorSize = 4096;
inline constexpr uint32_t kNtfsMaxClusterSize = 2 * 1024 * 1024;
// A sectors-per-cluster byte above this stores a negative power of two (0xF4 = 2^12).
inline constexpr uint8_t kNtfsMaxPlainSectorsPerCluster = 0x80;
inline constexpr uint32_t kNtfsBitmapRecord = 6;

// Cluster size described by an NTFS boot sector; 0 when the sector carries no
// NTFS id or its sector size or sectors per cluster are not sane.
uint32_t NtfsClusterSize(Bytes bootSector);

enum class NtfsSpaceResult : int {
  kNtfsSpaceOk = 0,
  kNtfsSpaceNotNtfs = 1,      // no NTFS boot sector, or a geometry the reader refuses
  kNtfsSpaceBadGeometry = 2,  // the boot sector's size does not fit the device
  kNtfsSpaceNoRecord = 3,     // record 6 cannot be read
  kNtfsSpaceBadBitmap = 4,    // no usable $DATA in record 6, or runs not covering it
  kNtfsSpaceReadFailed = 5,   // reading the bitmap failed
};
using enum NtfsSpaceResult;

struct NtfsSpace {
  uint32_t clusterSize = 0;
  uint64_t totalClusters = 0;
  uint64_t freeClusters = 0;
};

// Counts the clear bits of the volume's cluster bitmap. `disk` is an NTFS volume
// opened with its boot sector read (CDisk::InitDisk or Attach).
[[nodiscard]] NtfsSpaceResult ReadNtfsFreeSpace(engine::CDisk& disk, NtfsSpace& out);

const char* NtfsSpaceResultText(NtfsSpaceResult result);

// Clear bits among the first `bitCount` bits of `bitmap` (bit 0 = lowest bit of byte 0).
uint64_t CountClearBits(Bytes bitmap, uint64_t bitCount);

}  // namespace stow::discovery
