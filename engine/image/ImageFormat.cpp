#include "engine/image/ImageFormat.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "engine/image/ImageChecksums.h"
#include "support/Bytes.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

// File record (FILE) header and attribute header offsets used to find $MFT's size.
constexpr size_t kFixupOffsetField = 0x04;        // u16: update sequence array offset
constexpr size_t kFixupCountField = 0x06;         // u16: entries, the sequence number included
constexpr size_t kFirstAttributeField = 0x14;     // u16: offset of the first attribute
constexpr size_t kAttrTypeField = 0x00;           // u32
constexpr size_t kAttrLengthField = 0x04;         // u32
constexpr size_t kAttrNonResidentField = 0x08;    // u8
constexpr size_t kAttrNameLengthField = 0x09;     // u8
constexpr size_t kAttrAllocatedSizeField = 0x28;  // u64, non-resident only
constexpr size_t kAttrMinLength = 0x10;
constexpr uint32_t kAttrTypeData = 0x80;
constexpr uint32_t kAttrTypeEnd = 0xFFFFFFFF;
constexpr size_t kFixupSector = 512;
constexpr int kMaxAttributes = 128;  // a 1 KiB record cannot hold more

bool TransferWithRetry(const ImageRetry& retry, const std::function<bool()>& attempt) {
  const int attempts = std::max(1, retry.attempts);
  for (int i = 0; i < attempts; ++i) {
    if (i > 0 && retry.delay.count() > 0) std::this_thread::sleep_for(retry.delay);
    if (attempt()) return true;
  }
  return false;
}

// Applies the record's update sequence to a copy when it checks out; a record
// whose fix-ups do not match is parsed as it stands.
void ApplyFixups(std::vector<std::byte>& record) {
  const ByteView view(record.data(), record.size());
  const uint16_t usaOffset = view.U16(kFixupOffsetField);
  const uint16_t usaCount = view.U16(kFixupCountField);
  if (usaCount < 2 || (usaCount - 1u) * kFixupSector > record.size()) return;
  if (!view.Contains(usaOffset, 2ull * usaCount)) return;
  const uint16_t sequence = view.U16(usaOffset);
  for (unsigned i = 1; i < usaCount; ++i) {
    if (view.U16(i * kFixupSector - 2) != sequence) return;
  }
  for (unsigned i = 1; i < usaCount; ++i) {
    StoreLe16(&record[i * kFixupSector - 2], view.U16(usaOffset + 2u * i));
  }
}

}  // namespace

// --- Header and record layouts ------------------------------------------------

ImageHeaderBytes ImageHeader::Encode() const {
  ImageHeaderBytes out{};
  out[kHeaderLetterOffset] = static_cast<std::byte>(letter);
  out[kHeaderWindowsOffset] = static_cast<std::byte>(windows);
  StoreLe32(&out[kHeaderClusterSizeOffset], clusterSize);
  StoreLe16(&out[kHeaderMarkerOffset], marker);
  return out;
}

ImageHeader ImageHeader::Decode(const ImageHeaderBytes& bytes) {
  ImageHeader h;
  h.letter = LoadU8(&bytes[kHeaderLetterOffset]);
  h.windows = LoadU8(&bytes[kHeaderWindowsOffset]);
  h.clusterSize = LoadLe32(&bytes[kHeaderClusterSizeOffset]);
  h.marker = LoadLe16(&bytes[kHeaderMarkerOffset]);
  return h;
}

BlockRecordBytes BlockRecord::Encode() const {
  BlockRecordBytes out{};
  StoreLe64(&out[kRecordNumberOffset], recordNumber);
  StoreLe64(&out[kRecordRunLengthOffset], runLength);
  StoreLe64(&out[kRecordSequenceOffset], sequence);
  StoreLe64(&out[kRecordDataLengthOffset], dataLength);
  StoreLe32(&out[kRecordRunIndexOffset], runIndex);
  StoreLe16(&out[kRecordInstanceOffset], attributeInstance);
  StoreLe16(&out[kRecordMarkerOffset], marker);
  return out;
}

BlockRecord BlockRecord::Decode(std::span<const std::byte, kBlockRecordSize> bytes) {
  BlockRecord r;
  r.recordNumber = LoadLe64(&bytes[kRecordNumberOffset]);
  r.runLength = LoadLe64(&bytes[kRecordRunLengthOffset]);
  r.sequence = LoadLe64(&bytes[kRecordSequenceOffset]);
  r.dataLength = LoadLe64(&bytes[kRecordDataLengthOffset]);
  r.runIndex = LoadLe32(&bytes[kRecordRunIndexOffset]);
  r.attributeInstance = LoadLe16(&bytes[kRecordInstanceOffset]);
  r.marker = LoadLe16(&bytes[kRecordMarkerOffset]);
  return r;
}

Status<ImageHeaderCheck> CheckImageHeader(ImageHeaderBytes& out, const std::string& path,
                                          ImageRetry retry) {
  std::unique_ptr<platform::BlockDevice> file;
  if (const int error = platform::OpenBlockDevice(path, true, file); error != 0) {
    return {ImageHeaderCheck::kOpenFailed, platform::SystemErrorText(error)};
  }
  const bool read = TransferWithRetry(retry, [&] {
    const platform::IoResult r = file->ReadAt(0, out);
    return r.bytes == out.size();
  });
  if (!read) return ImageHeaderCheck::kReadFailed;
  if (LoadLe16(&out[kHeaderMarkerOffset]) != kImageMarker) return ImageHeaderCheck::kBadMarker;
  return {};
}

// --- $MFT record count -------------------------------------------------------

TaskError RecordCountFromMftRecord(std::span<const std::byte> data, uint64_t& count) {
  count = 0;
  if (data.size() < kMftRecordBytes) return TaskError::kNoMftData;
  std::vector<std::byte> record(data.begin(), data.begin() + kMftRecordBytes);
  ApplyFixups(record);
  const ByteView view(record.data(), record.size());
  uint64_t offset = view.U16(kFirstAttributeField);
  for (int i = 0; i < kMaxAttributes && view.Contains(offset, kAttrMinLength); ++i) {
    const uint32_t type = view.U32(offset + kAttrTypeField);
    if (type == kAttrTypeEnd) break;
    const uint32_t length = view.U32(offset + kAttrLengthField);
    if (length < kAttrMinLength || !view.Contains(offset, length)) break;
    if (type == kAttrTypeData && view.U8(offset + kAttrNameLengthField) == 0) {
      if (view.U8(offset + kAttrNonResidentField) == 0) return TaskError::kNoMftData;
      if (length < kAttrAllocatedSizeField + 8) return TaskError::kNoMftData;
      count = view.U64(offset + kAttrAllocatedSizeField) / kMftRecordBytes;
      return TaskError::kNone;
    }
    offset += length;
  }
  return TaskError::kNoMftData;
}

// --- Reader ------------------------------------------------------------------

namespace {

// Each status's log text and the short name of a fault that the survey reports.
struct ImageStatusLabel {
  ImageStatus status;
  const char* text;
  const char* kind;
};
constexpr ImageStatusLabel kImageStatusLabels[] = {
    {ImageStatus::kChunk, "chunk", "none"},
    {ImageStatus::kEnd, "end of image", "none"},
    {ImageStatus::kNoHeader, "file shorter than the image header", "no-header"},
    {ImageStatus::kTruncatedRecord, "block record cut short by the end of the file",
     "truncated-record"},
    {ImageStatus::kBadMarker, "block record without its 0xFFFF marker", "bad-marker"},
    {ImageStatus::kDataTruncated, "run data runs past the end of the file", "data-truncated"},
    {ImageStatus::kBadSequence, "block sequence number out of order", "bad-sequence"},
    {ImageStatus::kBadDataLength, "data length does not match the run length", "bad-data-length"},
    {ImageStatus::kReadFailed, "read failed", "read-failed"},
};

const ImageStatusLabel* FindImageStatus(ImageStatus status) {
  for (const ImageStatusLabel& label : kImageStatusLabels) {
    if (label.status == status) return &label;
  }
  return nullptr;
}

}  // namespace

const char* ImageStatusText(ImageStatus status) {
  const ImageStatusLabel* label = FindImageStatus(status);
  return label != nullptr ? label->text : "unknown";
}

const char* ImageStatusKind(ImageStatus status) {
  const ImageStatusLabel* label = FindImageStatus(status);
  return label != nullptr ? label->kind : "none";
}

ImageReader::ImageReader(platform::BlockDevice& file, bool strict, ImageRetry retry)
    : file_(file), strict_(strict), retry_(retry), fileSize_(file.Size()) {}

uint64_t ImageReader::TotalSectors() const {
  return fileSize_ < kImageHeaderSize ? 0 : (fileSize_ - kImageHeaderSize) / kImageSectorSize;
}

ImageStatus ImageReader::Stop(ImageStatus status, uint64_t offset) {
  status_ = status;
  faultOffset_ = offset;
  return status;
}

bool ImageReader::ReadAt(uint64_t offset, std::span<std::byte> out) {
  return TransferWithRetry(retry_, [&] {
    const platform::IoResult r = file_.ReadAt(offset, out);
    return r.bytes == out.size();
  });
}

ImageStatus ImageReader::ReadRecord() {
  const uint64_t remaining = fileSize_ - position_;
  if (remaining == 0) return Stop(ImageStatus::kEnd, position_);
  if (remaining < kBlockRecordSize) {
    expectedDetail_ = remaining;
    return Stop(ImageStatus::kTruncatedRecord, position_);
  }
  BlockRecordBytes bytes{};
  if (!ReadAt(position_, bytes)) return Stop(ImageStatus::kReadFailed, position_);
  record_ = BlockRecord::Decode(bytes);
  recordOffset_ = position_;
  if (record_.marker != kImageMarker) return Stop(ImageStatus::kBadMarker, position_);
  if (strict_) {
    if (record_.sequence != blocks_ + 1) {
      expectedDetail_ = blocks_ + 1;
      return Stop(ImageStatus::kBadSequence, position_);
    }
    const bool dataOk =
        !record_.CarriesData() ||
        (record_.runLength % kImageSectorSize == 0 &&
         record_.dataLength == std::min<uint64_t>(record_.runLength, kImageChunkBytes));
    if (!dataOk) return Stop(ImageStatus::kBadDataLength, position_);
  }
  position_ += kBlockRecordSize;
  blocks_ += 1;
  consumed_ = 0;
  if (record_.CarriesData() && record_.runLength > fileSize_ - position_) {
    expectedDetail_ = fileSize_ - position_;
    return Stop(ImageStatus::kDataTruncated, recordOffset_);
  }
  return ImageStatus::kChunk;
}

ImageStatus ImageReader::Next(ImageChunk& chunk, std::span<std::byte> buffer) {
  if (status_ != ImageStatus::kChunk) return status_;
  if (fileSize_ < kImageHeaderSize) return Stop(ImageStatus::kNoHeader, 0);
  // Every pass either produces a chunk or consumes a 40-byte record, so the loop
  // ends within file size / 40 passes.
  for (;;) {
    if (!inBlock_) {
      const ImageStatus s = ReadRecord();
      if (s != ImageStatus::kChunk) return s;
      // A run of length 0 carries nothing and yields no chunk.
      if (record_.runLength == 0) {
        if (emptyBlock_) emptyBlock_(recordOffset_, record_);
        continue;
      }
      inBlock_ = true;
      if (!record_.CarriesData()) {
        inBlock_ = false;
        chunk = ImageChunk{record_.recordNumber,
                           record_.attributeInstance,
                           static_cast<uint16_t>(record_.runIndex & 0xFFFF),
                           record_.runLength,
                           0,
                           0,
                           recordOffset_,
                           true};
        return ImageStatus::kChunk;
      }
    }
    const uint64_t size = std::min<uint64_t>(record_.runLength - consumed_, kImageChunkBytes);
    const size_t toRead = static_cast<size_t>(std::min<uint64_t>(size, buffer.size()));
    if (toRead > 0 && !ReadAt(position_, buffer.first(toRead))) {
      return Stop(ImageStatus::kReadFailed, position_);
    }
    chunk = ImageChunk{record_.recordNumber,
                       record_.attributeInstance,
                       static_cast<uint16_t>(record_.runIndex & 0xFFFF),
                       record_.runLength,
                       consumed_ / kImageSectorSize,
                       static_cast<uint32_t>(size),
                       position_,
                       consumed_ == 0};
    position_ += size;
    consumed_ += size;
    dataBytes_ += size;
    if (consumed_ == record_.runLength) inBlock_ = false;
    return ImageStatus::kChunk;
  }
}

std::string ImageReader::FaultText() const {
  char text[200];
  const auto off = static_cast<unsigned long long>(faultOffset_);
  const auto detail = static_cast<unsigned long long>(expectedDetail_);
  switch (status_) {
    case ImageStatus::kChunk:
    case ImageStatus::kEnd:
      return {};
    case ImageStatus::kNoHeader:
      std::snprintf(text, sizeof text,
                    "offset 0: the file holds %llu bytes, fewer than the %zu-byte header",
                    static_cast<unsigned long long>(fileSize_), kImageHeaderSize);
      break;
    case ImageStatus::kTruncatedRecord:
      std::snprintf(text, sizeof text,
                    "offset %llu: %llu bytes left where a %zu-byte block record should be", off,
                    detail, kBlockRecordSize);
      break;
    case ImageStatus::kBadMarker:
      std::snprintf(text, sizeof text, "offset %llu: block record marker is 0x%04x, not 0xFFFF",
                    off, static_cast<unsigned>(record_.marker));
      break;
    case ImageStatus::kDataTruncated:
      std::snprintf(
          text, sizeof text,
          "offset %llu: block's run of %llu bytes runs past the end of the file (%llu bytes left)",
          off, static_cast<unsigned long long>(record_.runLength), detail);
      break;
    case ImageStatus::kBadSequence:
      std::snprintf(text, sizeof text,
                    "offset %llu: block record has sequence number %llu, expected %llu", off,
                    static_cast<unsigned long long>(record_.sequence), detail);
      break;
    case ImageStatus::kBadDataLength:
      std::snprintf(
          text, sizeof text,
          "offset %llu: block record's data length %llu does not match its run length %llu", off,
          static_cast<unsigned long long>(record_.dataLength),
          static_cast<unsigned long long>(record_.runLength));
      break;
    case ImageStatus::kReadFailed:
      std::snprintf(text, sizeof text, "offset %llu: the image file could not be read", off);
      break;
  }
  return text;
}

// --- Writer ------------------------------------------------------------------

ImageWriter::ImageWriter(platform::BlockDevice& file, ImageRetry retry)
    : file_(file), retry_(retry) {}

bool ImageWriter::WriteAt(uint64_t offset, std::span<const std::byte> in) {
  return TransferWithRetry(retry_, [&] {
    const platform::IoResult r = file_.WriteAt(offset, in);
    if (r.bytes != in.size()) lastError_ = r.error;
    return r.bytes == in.size();
  });
}

ImageWriteResult ImageWriter::WriteHeader(const ImageHeader& header) {
  const ImageHeaderBytes bytes = header.Encode();
  if (sums_ != nullptr) sums_->Header(bytes);
  if (!WriteAt(0, bytes)) return kImageWriteFailed;
  headerWritten_ = true;
  position_ = kImageHeaderSize;
  return kImageWriteOk;
}

ImageWriteResult ImageWriter::Append(const ImageChunk& chunk, std::span<const std::byte> data) {
  if (!headerWritten_) return kImageNoHeader;
  if (data.size() < chunk.dataLength) return kImageChunkOutOfStep;
  const bool newBlock = !anyChunk_ || chunk.runOffset == 0 || chunk.recordNumber != previousRecord_;
  if (newBlock) {
    // A run whose data stopped short would shift every following block.
    if (anyChunk_ && runCarriesData_ && runWritten_ != runLength_) return kImageRunIncomplete;
    if (chunk.runOffset != 0) return kImageChunkOutOfStep;
    BlockRecord record;
    record.recordNumber = chunk.recordNumber;
    record.runLength = chunk.runLength;
    record.sequence = sequence_;
    record.dataLength = chunk.dataLength;
    record.runIndex = chunk.runIndex;
    record.attributeInstance = chunk.attributeInstance;
    const BlockRecordBytes recordBytes = record.Encode();
    if (sums_ != nullptr) {
      sums_->Record(position_, recordBytes, record.runLength, record.CarriesData());
    }
    if (!WriteAt(position_, recordBytes)) return kImageWriteFailed;
    sequence_ += 1;
    position_ += kBlockRecordSize;
    anyChunk_ = true;
    previousRecord_ = chunk.recordNumber;
    runLength_ = chunk.runLength;
    runWritten_ = 0;
    runCarriesData_ = chunk.dataLength != 0;
  } else if (!runCarriesData_ || chunk.dataLength == 0 || chunk.runLength != runLength_ ||
             chunk.runOffset * kImageSectorSize != runWritten_) {
    return kImageChunkOutOfStep;
  }
  if (chunk.dataLength == 0) return kImageWriteOk;
  if (chunk.dataLength > runLength_ - runWritten_) return kImageChunkOutOfStep;
  if (sums_ != nullptr) sums_->Data(position_, data.first(chunk.dataLength));
  if (!WriteAt(position_, data.first(chunk.dataLength))) return kImageWriteFailed;
  position_ += chunk.dataLength;
  runWritten_ += chunk.dataLength;
  return kImageWriteOk;
}

ImageWriteResult ImageWriter::Finish() const {
  if (!headerWritten_) return kImageNoHeader;
  if (anyChunk_ && runCarriesData_ && runWritten_ != runLength_) return kImageRunIncomplete;
  return kImageWriteOk;
}

}  // namespace stow::engine
