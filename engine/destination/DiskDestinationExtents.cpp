#include "engine/destination/DiskDestinationExtents.h"

#include <algorithm>
#include <cinttypes>
#include <cstddef>

#include "support/Log.h"

namespace stow::engine {
namespace {

constexpr uint64_t kBitsPerByte = 8;
constexpr std::byte kAllSet{0xFF};
constexpr std::byte kNoneSet{0x00};
constexpr uint64_t kSectorsPerRecord = 2;  // 1,024-byte records, 512-byte sectors
constexpr uint64_t kZoneNumerator = 11;
constexpr uint64_t kZoneDenominator = 10;

}  // namespace

uint64_t ResizedMftClusters(uint64_t records, uint64_t sectorsPerCluster, uint64_t sourceClusters) {
  if (sectorsPerCluster == 0) return 0;
  return std::max((kSectorsPerRecord * records + sectorsPerCluster - 1) / sectorsPerCluster,
                  sourceClusters);
}

uint64_t MftZoneClusters(uint64_t records, uint64_t sectorsPerCluster, uint64_t mftClusters) {
  if (sectorsPerCluster == 0) return mftClusters;
  const uint64_t zone =
      ((records * kSectorsPerRecord / sectorsPerCluster) / kZoneDenominator) * kZoneNumerator;
  return std::max(zone, mftClusters);
}

bool FindClearStretch(Bytes bitmap, uint64_t clusters, uint64_t count, uint64_t& first,
                      uint64_t from) {
  if (count == 0) return false;
  clusters = std::min<uint64_t>(clusters, uint64_t{bitmap.size()} * kBitsPerByte);
  uint64_t run = 0;
  for (uint64_t c = from; c < clusters;) {
    if (c % kBitsPerByte == 0 && clusters - c >= kBitsPerByte &&
        bitmap[c / kBitsPerByte] == kAllSet) {
      run = 0;
      c += kBitsPerByte;
      continue;
    }
    run = ClusterBit(bitmap, c) ? 0 : run + 1;
    ++c;
    if (run == count) {
      first = c - count;
      return true;
    }
  }
  return false;
}

void FreeExtentList::Clear() {
  extents_.clear();
  next_ = 0;
}

void FreeExtentList::Assign(std::vector<ClusterExtent> extents) {
  extents_ = std::move(extents);
  next_ = 0;
}

void FreeExtentList::Build(Bytes bitmap, uint64_t clusters) {
  Clear();
  clusters = std::min<uint64_t>(clusters, uint64_t{bitmap.size()} * kBitsPerByte);
  bool capped = false;
  uint64_t start = 0;
  bool inFree = false;
  auto close = [&](uint64_t end) {
    if (!inFree) return;
    inFree = false;
    if (extents_.size() >= kMaxExtents) {
      capped = true;
      return;
    }
    extents_.push_back({start, end - start});
  };
  for (uint64_t c = 0; c < clusters;) {
    // Whole bytes of one kind are passed over at once.
    if (c % kBitsPerByte == 0 && clusters - c >= kBitsPerByte) {
      const std::byte b = bitmap[c / kBitsPerByte];
      if (b == kAllSet) {
        close(c);
        c += kBitsPerByte;
        continue;
      }
      if (b == kNoneSet) {
        if (!inFree) start = c;
        inFree = true;
        c += kBitsPerByte;
        continue;
      }
    }
    if (ClusterBit(bitmap, c)) {
      close(c);
    } else if (!inFree) {
      start = c;
      inFree = true;
    }
    ++c;
  }
  // The stretch that runs to the last cluster is free space too.
  close(clusters);
  if (capped) {
    LogLess("free-extent list: the bitmap is too fragmented; only %zu extents are used",
            kMaxExtents);
  }
  std::stable_sort(extents_.begin(), extents_.end(),
                   [](const ClusterExtent& a, const ClusterExtent& b) {
                     return a.clusterCount > b.clusterCount;
                   });
}

bool FreeExtentList::Allocate(uint64_t wanted, uint64_t& first, uint64_t& granted) {
  if (Empty()) return false;
  ClusterExtent& e = extents_[next_];
  first = e.firstCluster;
  if (e.clusterCount <= wanted) {
    granted = e.clusterCount;
    ++next_;
    LogDebug("change lcn : %lld !", static_cast<long long>(granted));
  } else {
    granted = wanted;
    e.firstCluster += wanted;
    e.clusterCount -= wanted;
  }
  return true;
}

void FreeExtentList::Insert(const ClusterExtent& extent) {
  auto at =
      std::find_if(extents_.begin() + static_cast<std::ptrdiff_t>(next_), extents_.end(),
                   [&](const ClusterExtent& e) { return e.clusterCount < extent.clusterCount; });
  extents_.insert(at, extent);
}

void FreeExtentList::ReserveZone(uint64_t m, uint64_t zone) {
  const uint64_t zoneEnd = zone > UINT64_MAX - m ? UINT64_MAX : m + zone;
  std::vector<ClusterExtent> beyond;
  std::vector<ClusterExtent> kept;
  kept.reserve(Size());
  for (size_t i = next_; i < extents_.size(); ++i) {
    const ClusterExtent e = extents_[i];
    const uint64_t s = e.firstCluster;
    const uint64_t end = e.End();
    // An extent that starts at M itself lies in the zone as much as one after it.
    if (s >= m && s < zoneEnd) {
      if (end > zoneEnd) kept.push_back({zoneEnd, end - zoneEnd});
    } else if (s < m && end > m) {
      kept.push_back({s, m - s});
      if (end > zoneEnd) beyond.push_back({zoneEnd, end - zoneEnd});
    } else {
      kept.push_back(e);
    }
  }
  extents_ = std::move(kept);
  next_ = 0;
  for (const ClusterExtent& e : beyond) Insert(e);
}

std::vector<ClusterExtent> FreeExtentList::Extents() const {
  return {extents_.begin() + static_cast<std::ptrdiff_t>(next_), extents_.end()};
}

uint64_t FreeExtentList::FreeClusters() const {
  uint64_t total = 0;
  for (size_t i = next_; i < extents_.size(); ++i) total += extents_[i].clusterCount;
  return total;
}

}  // namespace stow::engine
