// The destination's clusters: the size of the resized $MFT and its zone, and the
// free-extent list the copy and restore writer allocates from, both over the
// cluster bitmap of engine/ntfs/ClusterBitmap.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/ntfs/ClusterBitmap.h"
#include "support/Bytes.h"

namespace stow::engine {

struct ClusterExtent {
  uint64_t firstCluster = 0;
  uint64_t clusterCount = 0;
  uint64_t End() const { return firstCluster + clusterCount; }
  bool operator==(const ClusterExtent&) const = default;
};

// Clusters the resized $MFT gets: room for `records` records of 1,024 bytes
// (2 sectors each), and never less than what the source's $MFT runs hold.
uint64_t ResizedMftClusters(uint64_t records, uint64_t sectorsPerCluster,
                            uint64_t sourceClusters = 0);
// The MFT zone kept free of data: 10 % more than `records` records need
// (integer divisions), and never less than the resized $MFT itself, which
// otherwise would receive data placed over its last records.
uint64_t MftZoneClusters(uint64_t records, uint64_t sectorsPerCluster, uint64_t mftClusters);

// The first stretch of `count` clear bits among clusters [from, clusters).
[[nodiscard]] bool FindClearStretch(Bytes bitmap, uint64_t clusters, uint64_t count,
                                    uint64_t& first, uint64_t from = 0);

// The free-extent list: built once from a bitmap, ordered largest first (equal
// sizes keep cluster order); allocation takes from the front.
class FreeExtentList {
 public:
  // A bitmap so fragmented that it yields more extents than this keeps the
  // first ones found; allocation then ends sooner, never wrongly.
  static constexpr size_t kMaxExtents = size_t{1} << 20;

  // Every maximal stretch of clear bits among clusters [0, clusters), the one
  // that runs to the end included.
  void Build(Bytes bitmap, uint64_t clusters);
  // Takes `wanted` clusters from the first extent, or the whole extent when it
  // is not larger; the list is not re-sorted. False when the list is empty.
  [[nodiscard]] bool Allocate(uint64_t wanted, uint64_t& first, uint64_t& granted);
  // Keeps data out of the MFT zone [m, m + zone): an extent that starts inside
  // the zone keeps only what lies beyond it; one that starts before the zone
  // and reaches into it keeps its part before the zone, and its part beyond
  // the zone becomes an extent of its own.
  void ReserveZone(uint64_t m, uint64_t zone);

  bool Empty() const { return next_ >= extents_.size(); }
  size_t Size() const { return extents_.size() - next_; }
  // The extents still on the list, in list order.
  std::vector<ClusterExtent> Extents() const;
  uint64_t FreeClusters() const;
  void Clear();
  // For tests: puts `extents` on the list in the order given.
  void Assign(std::vector<ClusterExtent> extents);

 private:
  void Insert(const ClusterExtent& extent);

  std::vector<ClusterExtent> extents_;
  size_t next_ = 0;  // extents before this index were used up
};

}  // namespace stow::engine
