// What a CDisk keeps for the destination fix-up (DiskDestination.cpp): the
// volume's cluster bitmap, its length in bytes, the runs of $Bitmap's data and
// the free extents. Disk.h only names it, so that the disk's includers do not
// see the destination's headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/destination/DiskDestinationExtents.h"
#include "engine/ntfs/RunList.h"

namespace stow::engine {

struct DiskDestinationState {
  std::vector<std::byte> bitmap;
  uint64_t bitmapLength = 0;
  std::vector<ntfs::DataRun> bitmapRuns;
  FreeExtentList freeExtents;
};

}  // namespace stow::engine
