#include "engine/image/ImageSurvey.h"

#include <algorithm>
#include <cinttypes>
#include <memory>
#include <vector>

#include "engine/image/ImageMftRecords.h"
#include "engine/image/MftExtents.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/SentRuns.h"
#include "support/Bytes.h"
#include "support/Format.h"

namespace stow::engine {
namespace {

// The partition reader visits at most 2^32 records (32-bit record numbers).
constexpr uint64_t kMaxRecords = uint64_t{UINT32_MAX} + 1;

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
    SetFault(s, "bad-header-marker", kHeaderMarkerOffset,
             FormatString("offset %zu: header marker is 0x%04x, not 0xFFFF", kHeaderMarkerOffset,
                          static_cast<unsigned>(s.header.marker)));
  } else if (!IsImageClusterSize(s.header.clusterSize)) {
    SetFault(s, "bad-cluster-size", kHeaderClusterSizeOffset,
             FormatString("offset %zu: the header gives a cluster size of %u bytes; an NTFS "
                          "volume's is a power of two from %u bytes to %u MiB",
                          kHeaderClusterSizeOffset, s.header.clusterSize, kMinImageClusterSize,
                          kMaxImageClusterSize / (1024 * 1024)));
  }
}

std::string RunName(uint16_t index, uint16_t instance) {
  return FormatString("run %u of attribute %u", unsigned{index}, unsigned{instance});
}

std::string BlockName(const ImageChunk& c) {
  return FormatString("%s of file record %" PRIu64 " (%" PRIu64 " bytes, %s)",
                      RunName(c.runIndex, c.attributeInstance).c_str(), c.recordNumber, c.runLength,
                      c.dataLength == 0 ? "sparse" : "with data");
}

// One run that a complete image holds as a block.
struct ExpectedRun {
  uint16_t instance = 0;
  uint16_t index = 0;
  uint64_t bytes = 0;
  bool sparse = false;
};

// Walks the image and compares its blocks with the runs that its own $MFT says
// a backup sends, record by record.
class Surveyor {
 public:
  Surveyor(platform::BlockDevice& file, ImageSurvey& s, ImageRetry retry)
      : file_(file), s_(s), retry_(retry), records_(file, retry) {}

  void Run() {
    ImageReader reader(file_, true, retry_);
    s_.progressSectors = reader.TotalSectors();
    // Only the first chunk's data is read here: it opens with file record 0.
    std::vector<std::byte> first(
        static_cast<size_t>(std::min<uint64_t>(kImageChunkBytes, s_.fileSize)));
    bool firstChunk = true;
    ImageChunk chunk;
    ImageStatus status;
    while ((status = reader.Next(chunk, firstChunk ? std::span(first) : std::span<std::byte>())) ==
           ImageStatus::kChunk) {
      if (chunk.firstOfBlock) {
        ++s_.blocks;
        if (chunk.dataLength == 0) {
          ++s_.sparseBlocks;
          s_.sparseBytes += chunk.runLength;
        } else {
          ++s_.dataBlocks;
        }
        lastBlock_ = chunk;
        lastBlockOffset_ = reader.RecordOffset();
      }
      s_.lastBlockRecord = chunk.recordNumber;
      s_.dataBytes += chunk.dataLength;
      checking_ = checking_ && s_.ok;
      if (firstChunk) {
        firstChunk = false;
        TakeFirstBlock(chunk, reader.RecordOffset(), Bytes(first.data(), chunk.dataLength));
      } else if (chunk.firstOfBlock && checking_) {
        CheckBlock(chunk, reader.RecordOffset());
      }
      if (checking_ && s_.ok && mft_) Place(chunk, reader.RecordOffset());
    }
    if (status != ImageStatus::kEnd) {
      SetFault(s_, ImageStatusKind(status), reader.FaultOffset(), reader.FaultText());
      return;
    }
    if (firstChunk) {
      Missing("cut-short", s_.fileSize, 0,
              FormatString("offset %" PRIu64 ": the image holds no blocks, not even the "
                           "source's $MFT (file record 0): the image was cut short",
                           s_.fileSize));
      return;
    }
    if (checking_ && s_.ok && mft_) CheckEnd();
  }

 private:
  enum class Next { kFound, kNone, kStop };

  void Damaged(const char* kind, uint64_t offset, const std::string& text) {
    SetFault(s_, kind, offset, FormatString("offset %" PRIu64 ": ", offset) + text);
    checking_ = false;
  }
  void Missing(const char* kind, uint64_t offset, uint64_t record, const std::string& text) {
    if (s_.ok) s_.firstMissingRecord = record;
    SetFault(s_, kind, offset, text);
    checking_ = false;
  }

  // The first block: file record 0 opens its data, and it is run 0 of that
  // record's $DATA, as long as the header's clusters say.
  void TakeFirstBlock(const ImageChunk& chunk, uint64_t recordOffset, Bytes data) {
    uint64_t count = 0;
    if (chunk.dataLength >= kMftRecordBytes &&
        RecordCountFromMftRecord(data, count) == TaskError::kNone) {
      s_.recordCount = count;
    }
    if (!checking_) return;
    if (chunk.recordNumber != kSentMftRecord || chunk.dataLength < kMftRecordBytes) {
      Damaged("first-block-not-mft", recordOffset,
              "the first block is " + BlockName(chunk) +
                  ", not the start of the source's $MFT (the data of file record 0, which "
                  "opens with that record)");
      return;
    }
    const uint64_t at = chunk.fileOffset;
    std::vector<std::byte> record0(data.begin(), data.begin() + kMftRecordBytes);
    if (!ntfs::HasFileSignature(record0)) {
      Damaged("bad-record-0", at,
              "file record 0 at the start of the image's $MFT has no \"FILE\" signature");
      return;
    }
    std::vector<std::byte> fixed(record0);
    if (!ntfs::ApplyFixupChecked(fixed)) {
      Damaged("bad-record-0", at,
              "file record 0 at the start of the image's $MFT does not match its update "
              "sequence (a sector of the record is damaged or was not written whole)");
      return;
    }
    SourceMftLayout layout;
    std::string detail;
    if (ReadSourceMftLayout(data, chunk.runLength, layout, detail) != TaskError::kNone) {
      Damaged("bad-record-0", at, detail);
      return;
    }
    if (layout.clusterSize != s_.header.clusterSize) {
      Damaged("cluster-size-mismatch", kHeaderClusterSizeOffset,
              FormatString("the header gives a cluster size of %u bytes, but the image's $MFT "
                           "has clusters of %" PRIu64 " bytes (the first run of its $DATA, %" PRIu64
                           " bytes, is %" PRIu64 " clusters)",
                           s_.header.clusterSize, layout.clusterSize, chunk.runLength,
                           chunk.runLength / layout.clusterSize));
      return;
    }
    clusterSize_ = layout.clusterSize;
    recordLimit_ = std::min(layout.dataSize / kMftRecordBytes, kMaxRecords);
    mft_.emplace(layout);
    if (!Expect(kSentMftRecord, record0, at)) return;
    if (runs_.empty() || runs_.front().index != 0 || runs_.front().sparse ||
        chunk.attributeInstance != runs_.front().instance || chunk.runIndex != 0) {
      Damaged("first-block-not-mft", recordOffset,
              "the first block is " + BlockName(chunk) +
                  ", but the image's $MFT begins with run 0 of its $DATA attribute " +
                  std::to_string(runs_.empty() ? 0u : unsigned{runs_.front().instance}));
      return;
    }
    scanFrom_ = kSentMftRecord + 1;
    CheckBlock(chunk, recordOffset);
  }

  // Takes record `n` (on-disk form) as the one whose runs come next: true when
  // its runs could be walked (`runs_` is empty for a record that sends none).
  bool Expect(uint64_t n, std::vector<std::byte>& record, uint64_t location) {
    runs_.clear();
    nextRun_ = 0;
    if (!TakeSentRecord(n, record)) return true;
    const uint64_t volumeClusters = UINT64_MAX / clusterSize_;
    ntfs::AttributeWalker walk(record);
    for (ntfs::Attribute a; walk.Next(a);) {
      const char* why = nullptr;
      const SentWalk walked =
          VisitSentRuns(n, a.bytes, volumeClusters, clusterSize_, why, [&](const SentRun& run) {
            runs_.push_back(
                ExpectedRun{run.instance, run.index, run.clusters * clusterSize_, run.sparse});
            return SentWalk::kGoOn;
          });
      if (walked == SentWalk::kFailed) {
        Damaged("bad-run-list", location,
                FormatString("file record %" PRIu64 " in the image's $MFT, attribute %u: %s; "
                             "a backup cannot send it, so no complete image holds it",
                             n, unsigned{a.instance}, why != nullptr ? why : "damaged"));
        return false;
      }
    }
    if (!runs_.empty()) {
      current_ = n;
      record_.assign(record.begin(), record.end());
    }
    return true;
  }

  // Finds the next record after the current one that sends runs.
  Next Advance(uint64_t offset, bool atEnd) {
    std::vector<std::byte> record(kMftRecordBytes);
    for (uint64_t n = scanFrom_; n < recordLimit_; ++n) {
      uint64_t location = 0;
      switch (records_.Read(*mft_, n, recordLimit_, record, location)) {
        case ImageMftRecords::Got::kReadFailed:
          SetFault(s_, "read-failed", records_.FailedOffset(),
                   FormatString("offset %" PRIu64 ": file record %" PRIu64
                                " of the image's $MFT cannot be read",
                                records_.FailedOffset(), n));
          checking_ = false;
          return Next::kStop;
        case ImageMftRecords::Got::kNotPlaced:
          scanFrom_ = n;
          if (atEnd) {
            // Every record before it that gives data came whole, so no cut
            // explains it: the extension records that hold this part of the
            // $MFT do not bring it.
            std::string detail;
            if (mft_->Finish(detail) == TaskError::kNone) detail = "the $MFT is incomplete";
            Damaged("mft-extents", offset,
                    detail + FormatString(" (file record %" PRIu64 " and those after it lie in "
                                          "the part that is missing)",
                                          n));
          } else {
            Damaged("mft-order", offset,
                    FormatString("file record %" PRIu64 " lies in a part of the image's $MFT "
                                 "that no block before this one holds",
                                 n));
          }
          return Next::kStop;
        case ImageMftRecords::Got::kRecord:
          break;
      }
      if (!Expect(n, record, location)) return Next::kStop;
      if (runs_.empty()) continue;
      scanFrom_ = n + 1;
      s_.lastRecordWithData = n;
      if (n != kSentMftRecord && mft_->WantsRecords()) {
        std::string detail;
        if (mft_->BeginRecord(n, record_, detail) != TaskError::kNone) {
          Damaged("mft-extents", offset, detail);
          return Next::kStop;
        }
      }
      return Next::kFound;
    }
    scanFrom_ = recordLimit_;
    return Next::kNone;
  }

  bool LaterRunOfCurrent(const ImageChunk& c) const {
    for (size_t i = nextRun_ + 1; i < runs_.size(); ++i) {
      if (runs_[i].instance == c.attributeInstance && runs_[i].index == c.runIndex) return true;
    }
    return false;
  }

  std::string ExpectedName() const {
    const ExpectedRun& e = runs_[nextRun_];
    return FormatString("%s of file record %" PRIu64 " (%" PRIu64 " bytes, %s)",
                        RunName(e.index, e.instance).c_str(), current_, e.bytes,
                        e.sparse ? "sparse" : "with data");
  }

  void CheckBlock(const ImageChunk& chunk, uint64_t offset) {
    if (nextRun_ == runs_.size()) {
      const uint64_t previous = current_;
      switch (Advance(offset, false)) {
        case Next::kStop:
          return;
        case Next::kNone:
          Damaged("unexpected-block", offset,
                  "the block is " + BlockName(chunk) +
                      ", but the image's $MFT gives no file record after record " +
                      std::to_string(previous) + " data to send");
          return;
        case Next::kFound:
          break;
      }
    }
    const ExpectedRun& e = runs_[nextRun_];
    const bool sameRun = chunk.recordNumber == current_ && chunk.attributeInstance == e.instance &&
                         chunk.runIndex == e.index;
    if (sameRun && chunk.runLength == e.bytes && (chunk.dataLength == 0) == e.sparse) {
      ++nextRun_;
      return;
    }
    if (sameRun) {
      Damaged(
          "block-mismatch", offset,
          "the block is " + BlockName(chunk) + ", but the image's $MFT gives that run as " +
              FormatString("%" PRIu64 " bytes, %s", e.bytes, e.sparse ? "sparse" : "with data"));
      return;
    }
    if (chunk.recordNumber > current_ || LaterRunOfCurrent(chunk)) {
      Missing("missing-record", offset, current_,
              FormatString("offset %" PRIu64 ": the block here is ", offset) + BlockName(chunk) +
                  ", but the image's $MFT gives " + ExpectedName() + " first: " +
                  (nextRun_ == 0
                       ? "the blocks of file record " + std::to_string(current_) + " are missing"
                       : "blocks of file record " + std::to_string(current_) +
                             " are missing from that run on"));
      return;
    }
    Damaged("unexpected-block", offset,
            "the block is " + BlockName(chunk) + ", but the image's $MFT gives " + ExpectedName() +
                " next");
  }

  void Place(const ImageChunk& chunk, uint64_t offset) {
    const MftChunk c{chunk.recordNumber, chunk.attributeInstance, chunk.runLength, chunk.runOffset,
                     chunk.dataLength};
    MftStreamTracker::Role role;
    uint64_t at = 0;
    std::string detail;
    if (mft_->Classify(c, role, at, detail) != TaskError::kNone) {
      Damaged("mft-extents", offset, detail);
      return;
    }
    if (role == MftStreamTracker::Role::kMft) mft_->Placed(at, c.dataLength, chunk.fileOffset);
  }

  void CheckEnd() {
    const uint64_t end = s_.fileSize;
    if (nextRun_ < runs_.size()) {
      const ExpectedRun& last = runs_.back();
      Missing(
          "cut-short", end, current_,
          FormatString("offset %" PRIu64 ": the image ends with %s of file record %" PRIu64
                       " (the block at offset %" PRIu64
                       "), but its $MFT gives that record data up to %s, so file record %" PRIu64
                       " is incomplete from %s on: the image was cut short",
                       end, RunName(lastBlock_.runIndex, lastBlock_.attributeInstance).c_str(),
                       lastBlock_.recordNumber, lastBlockOffset_,
                       RunName(last.index, last.instance).c_str(), current_,
                       RunName(runs_[nextRun_].index, runs_[nextRun_].instance).c_str()));
      return;
    }
    switch (Advance(end, true)) {
      case Next::kStop:
        return;
      case Next::kFound:
        Missing("cut-short", end, current_,
                FormatString("offset %" PRIu64 ": the image ends after the block at offset %" PRIu64
                             " (file record %" PRIu64 "); its $MFT gives file record %" PRIu64
                             " data as well, so file record %" PRIu64
                             " is the first missing record: the image was cut short",
                             end, lastBlockOffset_, lastBlock_.recordNumber, current_, current_));
        return;
      case Next::kNone:
        break;
    }
    std::string detail;
    if (mft_->Finish(detail) != TaskError::kNone) Damaged("mft-extents", end, detail);
  }

  platform::BlockDevice& file_;
  ImageSurvey& s_;
  ImageRetry retry_;
  ImageMftRecords records_;
  bool checking_ = true;
  std::optional<MftStreamTracker> mft_;
  uint64_t clusterSize_ = 0;
  uint64_t recordLimit_ = 0;
  // The record whose runs come now, its bytes (fix-ups applied) and runs.
  uint64_t current_ = 0;
  std::vector<std::byte> record_;
  std::vector<ExpectedRun> runs_;
  size_t nextRun_ = 0;
  uint64_t scanFrom_ = 0;
  ImageChunk lastBlock_;
  uint64_t lastBlockOffset_ = 0;
};

}  // namespace

uint64_t ImageSizeOfEntries(const std::vector<FileEntry>& entries, uint64_t clusterSize,
                            uint64_t volumeClusters) {
  if (clusterSize == 0) return kImageHeaderSize;
  uint64_t bytes = kImageHeaderSize;
  auto add = [&bytes](uint64_t n) { bytes = n > UINT64_MAX - bytes ? UINT64_MAX : bytes + n; };
  for (const FileEntry& entry : entries) {
    if (IsUnsentRecord(entry.recordNumber)) continue;
    for (const std::vector<std::byte>& attribute : entry.attributes) {
      const char* why = nullptr;
      // A run list that cannot be walked fails the reader before it is sent;
      // what was counted up to it stands, so the walk's end is not needed.
      static_cast<void>(VisitSentRuns(entry.recordNumber, attribute, volumeClusters, clusterSize,
                                      why, [&](const SentRun& run) {
                                        add(kBlockRecordSize);
                                        if (!run.sparse) add(run.clusters * clusterSize);
                                        return SentWalk::kGoOn;
                                      }));
    }
  }
  return bytes;
}

uint64_t ImageBytesForEntries(const std::vector<FileEntry>& entries, uint64_t clusterSize) {
  // The partition reader's own walk, so that the size is the size written.
  return ImageSizeOfEntries(entries, clusterSize, UINT64_MAX);
}

void SurveyImage(platform::BlockDevice& file, ImageSurvey& out, ImageRetry retry) {
  out = ImageSurvey{};
  out.fileSize = file.Size();
  ReadHeader(file, out);
  Surveyor(file, out, retry).Run();
}

int SurveyImageFile(const std::string& path, ImageSurvey& out) {
  std::unique_ptr<platform::BlockDevice> file;
  const int error = platform::OpenBlockDevice(path, true, file);
  if (error != 0) return error;
  SurveyImage(*file, out);
  return 0;
}

}  // namespace stow::engine
