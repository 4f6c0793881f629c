// The image file of a backup: a 40-byte ImageHeader, then one block per data run
// of the source volume: a 40-byte BlockRecord followed by the run's bytes (none
// for a sparse run). All integers are little-endian. docs/image-format.md
// describes the layout and what a reader must check.
//
// The on-disk layouts are byte arrays converted field by field (Encode/Decode);
// no structure is ever laid over a buffer.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>

#include "engine/core/Status.h"
#include "engine/core/TaskError.h"
#include "platform/BlockDevice.h"

namespace stow::engine {

class ChecksumBuilder;

inline constexpr size_t kImageHeaderSize = 40;
inline constexpr size_t kBlockRecordSize = 40;
inline constexpr uint16_t kImageMarker = 0xFFFF;
inline constexpr uint32_t kImageChunkBytes = 4 * 1024 * 1024;  // data is read back in 4 MiB chunks
inline constexpr uint32_t kImageSectorSize = 512;
inline constexpr uint32_t kMftRecordBytes = 1024;  // file record 0 opens the first block

// Cluster sizes an image may carry: powers of two from a sector to 2 MiB, the
// sizes an NTFS volume can have and the restore can format with.
inline constexpr uint32_t kMinImageClusterSize = 512;
inline constexpr uint32_t kMaxImageClusterSize = 2u * 1024 * 1024;
constexpr bool IsImageClusterSize(uint64_t size) {
  return size >= kMinImageClusterSize && size <= kMaxImageClusterSize && (size & (size - 1)) == 0;
}

// ImageHeader byte offsets.
inline constexpr size_t kHeaderLetterOffset = 0;        // +0x00 u8
inline constexpr size_t kHeaderWindowsOffset = 1;       // +0x01 u8
inline constexpr size_t kHeaderClusterSizeOffset = 24;  // +0x18 u32
inline constexpr size_t kHeaderMarkerOffset = 38;       // +0x26 u16
static_assert(kHeaderMarkerOffset + 2 == kImageHeaderSize, "marker closes the header");

// BlockRecord byte offsets.
inline constexpr size_t kRecordNumberOffset = 0;       // +0x00 u64
inline constexpr size_t kRecordRunLengthOffset = 8;    // +0x08 u64
inline constexpr size_t kRecordSequenceOffset = 16;    // +0x10 u64
inline constexpr size_t kRecordDataLengthOffset = 24;  // +0x18 u64
inline constexpr size_t kRecordRunIndexOffset = 32;    // +0x20 u32
inline constexpr size_t kRecordInstanceOffset = 36;    // +0x24 u16
inline constexpr size_t kRecordMarkerOffset = 38;      // +0x26 u16
static_assert(kRecordMarkerOffset + 2 == kBlockRecordSize, "marker closes the record");

using ImageHeaderBytes = std::array<std::byte, kImageHeaderSize>;
using BlockRecordBytes = std::array<std::byte, kBlockRecordSize>;

struct ImageHeader {
  uint8_t letter = 0;        // source drive letter (low 8 bits), 0 when it has none
  uint8_t windows = 0;       // 1 when the source holds a Windows system
  uint32_t clusterSize = 0;  // bytes per cluster of the source
  uint16_t marker = kImageMarker;

  ImageHeaderBytes Encode() const;
  static ImageHeader Decode(const ImageHeaderBytes& bytes);
  bool MarkerOk() const { return marker == kImageMarker; }
  bool operator==(const ImageHeader&) const = default;
};

struct BlockRecord {
  uint64_t recordNumber = 0;  // MFT file record of the run
  uint64_t runLength = 0;     // bytes of the whole run
  uint64_t sequence = 0;      // 1 for the first block, then 2, 3, ...
  uint64_t dataLength = 0;    // bytes of the run's first chunk; 0: sparse, no data follows
  uint32_t runIndex = 0;      // run's index in its run list (readers use the low 16 bits)
  uint16_t attributeInstance = 0;
  uint16_t marker = kImageMarker;

  BlockRecordBytes Encode() const;
  static BlockRecord Decode(std::span<const std::byte, kBlockRecordSize> bytes);
  bool CarriesData() const { return dataLength != 0; }
  bool operator==(const BlockRecord&) const = default;
};

// Image-file transfers are positioned and all-or-nothing, tried a fixed number
// of times with a pause between tries.
struct ImageRetry {
  int attempts = 10;
  std::chrono::milliseconds delay{100};
};

// Why a file's first 40 bytes are no image header.
enum class ImageHeaderCheck {
  kOk = 0,
  kOpenFailed,  // the file could not be opened (the detail gives the system's error)
  kReadFailed,  // fewer than 40 bytes could be read
  kBadMarker,   // the header does not end in the marker 0xFFFF
};

// Reads the first 40 bytes of `path` into `out` and checks that they end in
// the marker 0xFFFF.
[[nodiscard]] Status<ImageHeaderCheck> CheckImageHeader(ImageHeaderBytes& out,
                                                        const std::string& path,
                                                        ImageRetry retry = {});

// Outcome of one step of ImageReader.
enum class ImageStatus {
  kChunk,            // a chunk (with data or sparse) was produced
  kEnd,              // the last block ended exactly at the end of the file
  kNoHeader,         // the file is shorter than the 40-byte header
  kTruncatedRecord,  // 1 to 39 bytes follow the last block: a record cut short
  kBadMarker,        // a block record whose marker is not 0xFFFF
  kDataTruncated,    // a block's run needs more bytes than the file holds
  kBadSequence,      // (strict) a sequence number out of order
  kBadDataLength,    // (strict) the data-length field disagrees with the run length
  kReadFailed,       // the file could not be read
};
const char* ImageStatusText(ImageStatus status);
// The short name of a fault ("bad-marker", ...); "none" for kChunk and kEnd.
const char* ImageStatusKind(ImageStatus status);
inline bool IsImageFault(ImageStatus s) {
  return s != ImageStatus::kChunk && s != ImageStatus::kEnd;
}

// One piece of the stream as the restore hands it to the ring.
struct ImageChunk {
  uint64_t recordNumber = 0;
  uint16_t attributeInstance = 0;
  uint16_t runIndex = 0;
  uint64_t runLength = 0;
  uint64_t runOffset = 0;   // 512-byte sectors into the run
  uint32_t dataLength = 0;  // 0 for a sparse block
  uint64_t fileOffset = 0;  // where the chunk's data (or the sparse record) starts
  bool firstOfBlock = false;
};

// The one sequential reader of the layout, shared by the restore and the
// inspect tool. It never reads past the file's size, and every fault stops it
// with the byte offset where it was found. In strict mode it also checks the
// sequence numbers and that each data-length field matches its run.
class ImageReader {
 public:
  ImageReader(platform::BlockDevice& file, bool strict, ImageRetry retry = {});

  uint64_t FileSize() const { return fileSize_; }
  // Progress total of a restore: (file size - 40) / 512; 0 for a shorter file.
  uint64_t TotalSectors() const;

  // The next chunk: for a block with data, at most 4 MiB of it, read into
  // `buffer` when it is large enough for the chunk (otherwise the data is only
  // accounted for, not read); for a sparse block, one chunk without data.
  [[nodiscard]] ImageStatus Next(ImageChunk& chunk, std::span<std::byte> buffer);

  // The status that stopped the reader (kChunk while it has not stopped) and
  // the byte offset of the fault (the record or read that failed).
  ImageStatus Status() const { return status_; }
  uint64_t FaultOffset() const { return faultOffset_; }
  // A one-line description of the fault with its offset.
  std::string FaultText() const;

  // Called with the offset and contents of every block whose run length is 0:
  // such a block yields no chunk, but its bytes are part of the image.
  void OnEmptyBlock(std::function<void(uint64_t offset, const BlockRecord& record)> observer) {
    emptyBlock_ = std::move(observer);
  }

  const BlockRecord& CurrentRecord() const { return record_; }
  uint64_t RecordOffset() const { return recordOffset_; }
  uint64_t BlocksRead() const { return blocks_; }
  uint64_t DataBytesSeen() const { return dataBytes_; }

 private:
  ImageStatus Stop(ImageStatus status, uint64_t offset);
  [[nodiscard]] ImageStatus ReadRecord();
  [[nodiscard]] bool ReadAt(uint64_t offset, std::span<std::byte> out);

  platform::BlockDevice& file_;
  bool strict_;
  ImageRetry retry_;
  uint64_t fileSize_;
  uint64_t position_ = kImageHeaderSize;
  uint64_t consumed_ = 0;
  bool inBlock_ = false;
  BlockRecord record_;
  uint64_t recordOffset_ = 0;
  uint64_t blocks_ = 0;
  uint64_t dataBytes_ = 0;
  uint64_t faultOffset_ = 0;
  uint64_t expectedDetail_ = 0;
  ImageStatus status_ = ImageStatus::kChunk;
  std::function<void(uint64_t, const BlockRecord&)> emptyBlock_;
};

// Result codes of the writer.
enum class ImageWriteResult : int {
  kImageWriteOk = 0,
  kImageWriteFailed = 1,     // a positioned write did not complete
  kImageRunIncomplete = 2,   // a new run began before the previous run's data was complete
  kImageChunkOutOfStep = 3,  // a chunk does not continue its run where the last one ended
  kImageNoHeader = 4,        // data appended before the header was written
};
using enum ImageWriteResult;

// Writes an image: the header, then a block record whenever a run starts (its
// run offset is 0 or the record number changed) and each chunk's data at the
// running offset. It refuses anything that would leave the blocks out of step.
class ImageWriter {
 public:
  explicit ImageWriter(platform::BlockDevice& file, ImageRetry retry = {});

  // Every byte written from now on is also handed to `sums` at its offset
  // (the header, each block record, each chunk's data), just before its write,
  // so that a builder hashing in the background does so while the bytes are
  // written. A write that fails leaves the builder ahead of the image: the
  // image is then unfinished and no checksum file may be written for it.
  // nullptr stops it. The builder must outlive the writes.
  void FeedChecksums(ChecksumBuilder* sums) { sums_ = sums; }

  [[nodiscard]] ImageWriteResult WriteHeader(const ImageHeader& header);
  // Appends one chunk as the ring carries it; `data` holds chunk.dataLength bytes.
  [[nodiscard]] ImageWriteResult Append(const ImageChunk& chunk, std::span<const std::byte> data);
  // 0 when the last run's data is complete.
  [[nodiscard]] ImageWriteResult Finish() const;

  uint64_t Position() const { return position_; }
  uint64_t NextSequence() const { return sequence_; }
  uint64_t BlocksWritten() const { return sequence_ - 1; }
  // The system error of the last write that did not complete (0 when it gave none).
  int LastError() const { return lastError_; }

 private:
  [[nodiscard]] bool WriteAt(uint64_t offset, std::span<const std::byte> in);

  platform::BlockDevice& file_;
  ImageRetry retry_;
  bool headerWritten_ = false;
  uint64_t position_ = kImageHeaderSize;
  uint64_t sequence_ = 1;
  bool anyChunk_ = false;
  uint64_t previousRecord_ = 0;
  uint64_t runLength_ = 0;
  uint64_t runWritten_ = 0;
  bool runCarriesData_ = false;
  int lastError_ = 0;
  ChecksumBuilder* sums_ = nullptr;
};

// The number of MFT records of the source, taken from file record 0 at the
// start of the first block: the allocated size of its first unnamed $DATA
// attribute / 1024. kNone on success; kNoMftData when there is no such
// attribute or it is resident (or the record is malformed).
[[nodiscard]] TaskError RecordCountFromMftRecord(std::span<const std::byte> data, uint64_t& count);

}  // namespace stow::engine
