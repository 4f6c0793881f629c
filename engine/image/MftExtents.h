// The source's $MFT as the stream of a copy or restore carries it.
//
// Record 0's own unnamed $DATA attribute (the first extent, from VCN 0) travels
// first, as the runs of record 0. A $MFT too fragmented for one record goes on
// in extension records that record 0's attribute list names; their $DATA
// extents travel later, as the runs of those records, in record order. The
// destination keeps its own record 0 and gives its $MFT one contiguous run, so
// it needs neither an attribute list nor the source's extension records: the
// extents' bytes go to their place in the destination's $MFT, the rest of those
// records (a $BITMAP extent, a moved $FILE_NAME) is dropped, and the records
// themselves are freed when the volume is finalised.
//
// MftStreamTracker follows the stream and says, for every chunk of record 0 and
// of an extension record, where in the $MFT its bytes belong. It never touches
// a device: the writer asks it before placing a chunk, and the pre-checks run
// the same walk over an image's block records or a source volume's records, so
// a stream the writer would refuse is refused before the destination is touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/TaskError.h"
#include "engine/image/ImageFormat.h"
#include "support/Bytes.h"

namespace stow::platform {
class BlockDevice;
}

namespace stow::engine {

class CDisk;

// True when the record's base reference names record 0: an extension record of
// the $MFT itself.
bool IsMftExtensionRecord(Bytes record);

// What record 0 of the source says about its $MFT.
struct SourceMftLayout {
  uint64_t clusterSize = 0;          // bytes per cluster of the source
  uint64_t totalClusters = 0;        // allocated size / cluster size: every extent
  uint64_t firstExtentClusters = 0;  // what record 0's own runs hold
  uint64_t allocatedSize = 0;
  uint64_t dataSize = 0;
  uint64_t initializedSize = 0;
  bool hasAttributeList = false;
  // A resident attribute list: the (first VCN, record) of each further $DATA
  // extent it names. A non-resident list does not travel with the stream.
  bool listResident = false;
  std::vector<std::pair<uint64_t, uint64_t>> listedExtents;

  uint64_t TotalBytes() const { return totalClusters * clusterSize; }
  bool HasExtensions() const { return firstExtentClusters < totalClusters; }
};

// Reads record 0 (on-disk form) at the start of the first $MFT chunk, whose
// run is `firstRunBytes` long. The source's cluster size is that run's bytes
// over its clusters. kNone, or the task error with `detail` saying what is wrong.
[[nodiscard]] TaskError ReadSourceMftLayout(Bytes chunk, uint64_t firstRunBytes,
                                            SourceMftLayout& out, std::string& detail);

// One chunk of the stream, as a ring slot or an image block carries it.
struct MftChunk {
  uint64_t recordNumber = 0;
  uint16_t attributeInstance = 0;
  uint64_t runLength = 0;   // bytes
  uint64_t runOffset = 0;   // 512-byte sectors into the run
  uint64_t dataLength = 0;  // 0 for a sparse run
};

class MftStreamTracker {
 public:
  enum class Role {
    kMft,    // bytes of the $MFT: they go to `streamOffset` of it
    kSkip,   // another attribute of an extension record: not placed
    kOther,  // a chunk of any other record
  };

  explicit MftStreamTracker(const SourceMftLayout& layout) : layout_(layout) {}
  const SourceMftLayout& Layout() const { return layout_; }

  // True when every byte of the $MFT has been placed.
  bool Complete() const { return placedBytes_ == layout_.TotalBytes(); }
  uint64_t PlacedBytes() const { return placedBytes_; }

  // True when a new record's bytes must be given to BeginRecord before its
  // chunks: while the $MFT is incomplete (a record may hold a further extent)
  // and, for a source whose $MFT has extents, throughout.
  bool WantsRecords() const { return !Complete() || layout_.HasExtensions(); }
  // True when every byte of record `n` has been placed.
  bool RecordPlaced(uint64_t n) const;
  // A record other than 0 begins in the stream; `record` (fix-ups applied) is
  // what the placed $MFT holds for it. kNone, or the task error with `detail`.
  [[nodiscard]] TaskError BeginRecord(uint64_t n, Bytes record, std::string& detail);

  // Where the chunk belongs. For kMft, `streamOffset` is its place in the $MFT
  // and the caller calls Placed() once its bytes are there. kNone, or the task
  // error with `detail`.
  [[nodiscard]] TaskError Classify(const MftChunk& chunk, Role& role, uint64_t& streamOffset,
                                   std::string& detail);
  // Records that [offset, offset + length) of the $MFT is placed; `location`
  // is the caller's own address of its first byte (an image file offset).
  void Placed(uint64_t offset, uint64_t length, uint64_t location);
  // The caller's addresses of [offset, offset + length): false when a part of
  // it has not been placed.
  [[nodiscard]] bool Locate(uint64_t offset, uint64_t length,
                            std::vector<std::pair<uint64_t, uint64_t>>& pieces) const;

  // kNone when the stream has ended with the whole $MFT placed; else the task
  // error with `detail`.
  [[nodiscard]] TaskError Finish(std::string& detail) const;

 private:
  struct Piece {
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t location = 0;
  };
  bool Overlaps(uint64_t offset, uint64_t length) const;
  [[nodiscard]] TaskError CheckListedExtents(std::string& detail) const;

  SourceMftLayout layout_;
  std::vector<Piece> pieces_;  // sorted by offset, never overlapping
  uint64_t placedBytes_ = 0;
  uint64_t record0Bytes_ = 0;  // record 0's chunks arrive in order from VCN 0
  // The record whose chunks arrive now, when it is an extension of record 0.
  bool inExtension_ = false;
  uint64_t extensionRecord_ = 0;
  std::vector<std::byte> extension_;
  // The extent whose runs arrive now and where its next run starts.
  bool haveExtent_ = false;
  uint16_t extentInstance_ = 0;
  uint64_t extentFirstVcn_ = 0;
  uint64_t extentEndVcn_ = 0;
  uint64_t nextVcn_ = 0;
  uint64_t runVcn_ = 0;
  uint64_t runBytes_ = 0;
  // (first VCN, record) of every extent the stream brought.
  std::vector<std::pair<uint64_t, uint64_t>> extents_;
};

// Checks, before the destination is touched, that the $MFT an image carries can
// be placed: record 0 at the start of its first block, and, for a $MFT with
// extents, every extension record where the stream needs it and every extent
// present. It reads the block records up to the end of the $MFT and the file
// records it must look at, no other data. kNone, or the task error with `detail`.
[[nodiscard]] TaskError CheckImageMft(platform::BlockDevice& image, std::string& detail,
                                      ImageRetry retry = {});
// The same for the image at `path`, opened read-only.
[[nodiscard]] TaskError CheckImageMftFile(const std::string& path, std::string& detail);

// The same for the source volume of a copy, over its records in the order the
// copy sends them. kNone, or the task error with `detail`.
[[nodiscard]] TaskError CheckSourceMft(CDisk& source, std::string& detail);

}  // namespace stow::engine
