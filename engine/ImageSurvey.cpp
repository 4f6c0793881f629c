#include "engine/ImageSurvey.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <vector>

#include "engine/Workers.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/ntfs/RunList.h"
#include "support/Bytes.h"

namespace stow::engine {
namespace {

constexpr uint64_t kMftRecord = 0;
// $Bitmap, $Boot and $BadClus: a backup never sends their data.
constexpr uint64_t kBitmapRecord = 6;
constexpr uint64_t kBootRecord = 7;
constexpr uint64_t kBadClusRecord = 8;

const char* FaultKind(ImageStatus s) {
  switch (s) {
    case ImageStatus::kNoHeader:
      return "no-header";
    case ImageStatus::kTruncatedRecord:
      return "truncated-record";
    case ImageStatus::kBadMarker:
      return "bad-marker";
    case ImageStatus::kDataTruncated:
      return "data-truncated";
    case ImageStatus::kBadSequence:
      return "bad-sequence";
    case ImageStatus::kBadDataLength:
      return "bad-data-length";
    case ImageStatus::kReadFailed:
      return "read-failed";
    default:
      return "none";
  }
}

void SetFault(ImageSurvey& s, const char* kind, uint64_t offset, const std::string& text) {
  if (!s.ok) return;
  s.ok = false;
  s.faultKind = kind;
  s.faultOffset = offset;
  s.faultText = text;
}

void ReadHeader(platform::BlockDevice& file, ImageSurvey& s) {
  ImageHeaderBytes bytes{};
  if (s.fileSize < bytes.size()) return;  // the walk reports it
  if (file.ReadAt(0, bytes).bytes != bytes.size()) return;
  s.headerRead = true;
  s.header = ImageHeader::Decode(bytes);
  if (!s.header.MarkerOk()) {
    char text[96];
    std::snprintf(text, sizeof text, "offset %zu: header marker is 0x%04x, not 0xFFFF",
                  kHeaderMarkerOffset, static_cast<unsigned>(s.header.marker));
    SetFault(s, "bad-header-marker", kHeaderMarkerOffset, text);
  }
}

// The last block a backup sends for one record: its attribute and run index.
struct LastRun {
  uint16_t instance = 0;
  uint16_t runIndex = 0;
};

// True when a backup sends something for this in-use record: a non-resident
// attribute (of record 0 only $DATA) whose run list holds a run that makes a
// block (a sparse run or one of at least one cluster). The same choice as the
// partition reader's; `last` receives the last such run.
bool RecordSendsData(uint64_t number, Bytes record, LastRun& last) {
  bool sends = false;
  ntfs::AttributeWalker walk(record);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (!a.nonResident) continue;
    if (number == kMftRecord && a.type != ntfs::kAttrData) continue;
    ntfs::NonResidentHeader header;
    if (!ntfs::ReadNonResidentHeader(a.bytes, header) || header.runListOffset >= a.bytes.size()) {
      continue;
    }
    const Bytes list = a.bytes.subspan(header.runListOffset);
    size_t position = 0;
    for (int i = 0; i <= UINT16_MAX; ++i) {
      ntfs::RunHeader run;
      if (ntfs::DecodeRunHeader(list, position, run) != ntfs::RunStatus::kRun) break;
      if (run.sparse || run.offset == 0 || run.length != 0) {
        sends = true;
        last = LastRun{a.instance, static_cast<uint16_t>(i)};
      }
      position += run.size;
    }
  }
  return sends;
}

// Takes the source's $MFT as it streams by and notes the last record that a
// backup sends data for. Records are judged as the partition reader judges
// them: the signature, a fix-up that fits, the in-use flag, and the record's
// own number where its header has that field.
class MftScanner {
 public:
  void Feed(std::span<const std::byte> data) {
    while (!data.empty() && index_ < limit_) {
      const size_t take = std::min(data.size(), kMftRecordBytes - carry_.size());
      carry_.insert(carry_.end(), data.begin(), data.begin() + take);
      data = data.subspan(take);
      if (carry_.size() == kMftRecordBytes) {
        Judge();
        carry_.clear();
        ++index_;
      }
    }
  }
  // A sparse stretch of the $MFT: records of zeros, none in use.
  void Skip(uint64_t bytes) {
    const uint64_t total = carry_.size() + bytes;
    index_ += total / kMftRecordBytes;
    carry_.assign(total % kMftRecordBytes, std::byte{0});
  }
  std::optional<uint64_t> LastWithData() const { return last_; }
  const LastRun& LastRunOfLast() const { return lastRun_; }

 private:
  void Judge() {
    const uint64_t number = index_;
    if (number == kMftRecord) {
      std::vector<std::byte> record0(carry_);
      ntfs::MftData mft;
      if (ntfs::ApplyFixup(record0) && ntfs::FindMftData(record0, mft) == ntfs::MftDataError::kNone) {
        limit_ = mft.dataSize / kMftRecordBytes;
      }
    }
    if (number == kBitmapRecord || number == kBootRecord || number == kBadClusRecord) return;
    if (!ntfs::HasFileSignature(carry_) || !ntfs::RecordInUse(carry_)) return;
    if (!ntfs::ApplyFixup(carry_)) return;
    const uint16_t usaOffset = LoadLe16(&carry_[ntfs::kUsaOffsetOffset]);
    // Older records end their header before the record-number field.
    if (usaOffset >= ntfs::kRecordHeaderSize && ntfs::RecordNumberField(carry_) != number) return;
    if (LastRun run; RecordSendsData(number, carry_, run)) {
      last_ = number;
      lastRun_ = run;
    }
  }

  std::vector<std::byte> carry_;
  uint64_t index_ = 0;
  uint64_t limit_ = UINT64_MAX;
  std::optional<uint64_t> last_;
  LastRun lastRun_;
};

// The record count comes from the first chunk that carries data: file record 0
// of the source's $MFT.
void TakeRecordCount(const ImageChunk& chunk, std::span<const std::byte> first, ImageSurvey& s) {
  uint64_t count = 0;
  if (chunk.dataLength >= kMftRecordBytes && RecordCountFromMftRecord(first, count) == 0) {
    s.recordCount = count;
    return;
  }
  char text[160];
  std::snprintf(text, sizeof text,
                "offset %" PRIu64
                ": the first block's data does not start with a file record "
                "holding a non-resident $DATA attribute",
                chunk.fileOffset);
  SetFault(s, "no-mft-data", chunk.fileOffset, text);
}

void Walk(platform::BlockDevice& file, ImageSurvey& s, ImageRetry retry) {
  ImageReader reader(file, true, retry);
  s.progressSectors = reader.TotalSectors();
  // The $MFT's chunks are read; every other chunk's data is only seeked over.
  std::vector<std::byte> buffer(kImageChunkBytes);
  MftScanner mft;
  bool inMft = true;
  bool wantCount = true;
  uint64_t lastBlockOffset = 0;
  uint16_t lastInstance = 0;
  uint16_t lastRunIndex = 0;
  ImageChunk chunk;
  ImageStatus status;
  while ((status = reader.Next(chunk, inMft ? std::span(buffer) : std::span<std::byte>())) ==
         ImageStatus::kChunk) {
    if (chunk.firstOfBlock) {
      ++s.blocks;
      lastBlockOffset = reader.RecordOffset();
      if (chunk.dataLength == 0) {
        ++s.sparseBlocks;
        s.sparseBytes += chunk.runLength;
      } else {
        ++s.dataBlocks;
      }
    }
    s.lastBlockRecord = chunk.recordNumber;
    lastInstance = chunk.attributeInstance;
    lastRunIndex = chunk.runIndex;
    s.dataBytes += chunk.dataLength;
    if (wantCount && chunk.dataLength > 0) {
      wantCount = false;
      TakeRecordCount(chunk, std::span(buffer).first(chunk.dataLength), s);
    }
    if (inMft && chunk.recordNumber != kMftRecord) inMft = false;
    if (inMft) {
      if (chunk.dataLength == 0) {
        mft.Skip(chunk.runLength);
      } else {
        mft.Feed(std::span(buffer).first(chunk.dataLength));
      }
    }
  }
  if (status != ImageStatus::kEnd) {
    SetFault(s, FaultKind(status), reader.FaultOffset(), reader.FaultText());
    return;
  }
  s.lastRecordWithData = mft.LastWithData();
  if (!s.recordCount || !s.lastRecordWithData || !s.lastBlockRecord) return;
  char text[240];
  if (*s.lastBlockRecord < *s.lastRecordWithData) {
    std::snprintf(text, sizeof text,
                  "offset %" PRIu64 ": the image ends with a block of file record %" PRIu64
                  ", but its $MFT gives file record %" PRIu64
                  " data: the image was cut short",
                  lastBlockOffset, *s.lastBlockRecord, *s.lastRecordWithData);
    SetFault(s, "cut-short", s.fileSize, text);
    return;
  }
  // The last record's blocks end with its last attribute's last run.
  const LastRun& expected = mft.LastRunOfLast();
  if (*s.lastBlockRecord == *s.lastRecordWithData &&
      (lastInstance != expected.instance || lastRunIndex != expected.runIndex)) {
    std::snprintf(text, sizeof text,
                  "offset %" PRIu64 ": the image ends with run %u of attribute %u of file record %" PRIu64
                  ", but its $MFT gives that record data up to run %u of attribute %u: the "
                  "image was cut short",
                  lastBlockOffset, unsigned{lastRunIndex}, unsigned{lastInstance},
                  *s.lastBlockRecord, unsigned{expected.runIndex}, unsigned{expected.instance});
    SetFault(s, "cut-short", s.fileSize, text);
  }
}

}  // namespace

uint64_t ImageBytesForEntries(const std::vector<FileEntry>& entries, uint64_t clusterSize) {
  // The partition reader's own walk, so that the size is the size written.
  return ImageSizeOfEntries(entries, clusterSize, UINT64_MAX);
}

void SurveyImage(platform::BlockDevice& file, ImageSurvey& out, ImageRetry retry) {
  out = ImageSurvey{};
  out.fileSize = file.Size();
  ReadHeader(file, out);
  Walk(file, out, retry);
}

int SurveyImageFile(const std::string& path, ImageSurvey& out) {
  std::unique_ptr<platform::BlockDevice> file;
  const int error = platform::OpenBlockDevice(path, true, file);
  if (error != 0) return error;
  SurveyImage(*file, out);
  return 0;
}

}  // namespace stow::engine
