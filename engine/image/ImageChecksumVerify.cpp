// The check of an image against its checksum file: ChecksumCursor, which
// follows the stretches as a reader hands them over, and VerifyImageContents,
// which reads a whole image through the image reader to prove it.
#include <algorithm>
#include <chrono>

#include "engine/image/ImageChecksums.h"
#include "engine/image/ImageFormat.h"
#include "support/Format.h"

namespace stow::engine {

ChecksumCursor::ChecksumCursor(const ImageChecksums& sums) : sums_(sums) {}

bool ChecksumCursor::Fail(uint64_t offset, std::string text) {
  if (!failed_) {
    failed_ = true;
    faultOffset_ = offset;
    fault_ = std::move(text);
  }
  return false;
}

const ChecksumEntry* ChecksumCursor::Expect(uint64_t offset, uint64_t length, uint64_t recordNumber,
                                            bool known) {
  const std::string block =
      known ? FormatString("the block of file record %llu at offset %llu",
                           static_cast<unsigned long long>(recordNumber),
                           static_cast<unsigned long long>(offset))
            : FormatString("the image header at offset %llu", static_cast<unsigned long long>(offset));
  if (next_ >= sums_.entries.size()) {
    Fail(offset, block + ": the checksum file ends before it; the image holds more than was written");
    return nullptr;
  }
  const ChecksumEntry& e = sums_.entries[next_];
  if (e.offset != offset || e.length != length) {
    Fail(offset, FormatString("%s: the checksum file expects %llu bytes at offset %llu here; the "
                              "image is damaged",
                              block.c_str(), static_cast<unsigned long long>(e.length),
                              static_cast<unsigned long long>(e.offset)));
    return nullptr;
  }
  return &e;
}

bool ChecksumCursor::CheckHeader(std::span<const std::byte> header) {
  if (failed_) return false;
  const ChecksumEntry* e = Expect(0, header.size(), 0, false);
  if (e == nullptr) return false;
  whole_.Update(header);
  ++next_;
  if (Xxh3(header) != e->hash) {
    return Fail(0, "the image header at offset 0 does not match its checksum: the image is damaged");
  }
  return true;
}

bool ChecksumCursor::CheckStretch(uint64_t offset, std::span<const std::byte> record,
                                  std::span<const std::byte> data, uint64_t recordNumber) {
  if (failed_) return false;
  const ChecksumEntry* e = Expect(offset, record.size() + data.size(), recordNumber, true);
  if (e == nullptr) return false;
  stretch_.Reset();
  stretch_.Update(record);
  whole_.Update(record);
  // Both states take each piece in turn: the data is read from memory once.
  constexpr size_t kPiece = size_t{64} * 1024;
  for (size_t at = 0; at < data.size(); at += kPiece) {
    const std::span<const std::byte> piece = data.subspan(at, std::min(kPiece, data.size() - at));
    stretch_.Update(piece);
    whole_.Update(piece);
  }
  ++next_;
  if (stretch_.Digest() != e->hash) {
    return Fail(offset, FormatString("the block of file record %llu at offset %llu does not match "
                                     "its checksum: the image is damaged",
                                     static_cast<unsigned long long>(recordNumber),
                                     static_cast<unsigned long long>(offset)));
  }
  return true;
}

bool ChecksumCursor::End(uint64_t fileSize) {
  if (failed_) return false;
  if (fileSize != sums_.imageSize) {
    return Fail(std::min(fileSize, sums_.imageSize),
                FormatString("the image holds %llu bytes, but %llu were written: it was changed "
                             "or cut short",
                             static_cast<unsigned long long>(fileSize),
                             static_cast<unsigned long long>(sums_.imageSize)));
  }
  if (next_ != sums_.entries.size()) {
    const ChecksumEntry& e = sums_.entries[next_];
    return Fail(e.offset, FormatString("the stretch at offset %llu was never read: the image is "
                                       "damaged",
                                       static_cast<unsigned long long>(e.offset)));
  }
  if (whole_.Digest() != sums_.wholeHash) {
    return Fail(0, "the image as a whole does not match its checksum: the image is damaged");
  }
  return true;
}

ImageVerification VerifyImageContents(
    platform::BlockDevice& file, const std::string& imagePath,
    const std::function<bool(uint64_t done, uint64_t total)>& progress) {
  ImageVerification result;
  ImageChecksums sums;
  std::string why;
  const ChecksumLoad loaded = LoadChecksumFile(imagePath, sums, why);
  if (loaded == ChecksumLoad::kMissing) return result;
  result.checksumsFound = true;
  if (loaded != ChecksumLoad::kLoaded) {
    result.faultText = why;
    return result;
  }
  const uint64_t size = file.Size();
  ChecksumCursor cursor(sums);
  auto fail = [&](uint64_t offset, std::string text) {
    result.faultOffset = offset;
    result.faultText = std::move(text);
    return result;
  };
  ImageHeaderBytes header{};
  if (size < header.size() || file.ReadAt(0, header).bytes != header.size()) {
    return fail(0, FormatString("offset 0: the image's header cannot be read (the file holds %llu "
                                "bytes)",
                                static_cast<unsigned long long>(size)));
  }
  if (!cursor.CheckHeader(header)) return fail(cursor.FaultOffset(), cursor.FaultText());
  ImageReader reader(file, false, ImageRetry{1, std::chrono::milliseconds(0)});
  reader.OnEmptyBlock([&](uint64_t offset, const BlockRecord& record) {
    const BlockRecordBytes bytes = record.Encode();
    static_cast<void>(cursor.CheckStretch(offset, bytes, {}, record.recordNumber));
  });
  std::vector<std::byte> buffer(kImageChunkBytes);
  ImageChunk chunk;
  ImageStatus status;
  while ((status = reader.Next(chunk, buffer)) == ImageStatus::kChunk) {
    const std::span<const std::byte> data = std::span(buffer).first(chunk.dataLength);
    bool good = true;
    if (chunk.firstOfBlock) {
      const BlockRecordBytes record = reader.CurrentRecord().Encode();
      good = cursor.CheckStretch(reader.RecordOffset(), record, data, chunk.recordNumber);
    } else {
      good = cursor.CheckStretch(chunk.fileOffset, {}, data, chunk.recordNumber);
    }
    if (!good) return fail(cursor.FaultOffset(), cursor.FaultText());
    result.bytesRead = chunk.fileOffset + chunk.dataLength;
    if (progress && !progress(result.bytesRead, size)) return fail(result.bytesRead, "stopped");
  }
  if (status != ImageStatus::kEnd) {
    // The structure broke: when the stretch where it broke is not what was
    // written, say so first; it is the likelier account of the fault.
    if (cursor.StretchesChecked() < sums.entries.size()) {
      const ChecksumEntry& e = sums.entries[cursor.StretchesChecked()];
      std::vector<std::byte> raw(static_cast<size_t>(e.length));
      if (e.offset <= size && e.length <= size - e.offset &&
          file.ReadAt(e.offset, raw).bytes == raw.size() && Xxh3(raw) != e.hash) {
        return fail(e.offset, FormatString("the block at offset %llu does not match its "
                                           "checksum: the image is damaged (%s)",
                                           static_cast<unsigned long long>(e.offset),
                                           reader.FaultText().c_str()));
      }
    }
    return fail(reader.FaultOffset(), reader.FaultText());
  }
  if (!cursor.End(size)) return fail(cursor.FaultOffset(), cursor.FaultText());
  result.bytesRead = size;
  if (progress) progress(size, size);
  result.ok = true;
  return result;
}

}  // namespace stow::engine
