// Feeds arbitrary bytes to the image reader as an image file held in memory:
// the strict walk and the survey of the inspect tool and a restore's checks,
// the lenient walk of a restore, the
// record count taken from the first data chunk, the check of the $MFT it
// carries (record 0 and the extension records that continue it), and the
// layouts' round trips.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/image/ImageFormat.h"
#include "engine/image/ImageSurvey.h"
#include "engine/image/MftExtents.h"
#include "platform/MemoryBlockDevice.h"
#include "support/Log.h"

using namespace stow;
using namespace stow::engine;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CLog::Instance().SetLevel(kLogOff);
  return 0;
}

namespace {

void WalkImage(const std::vector<std::byte>& image, bool strict, std::vector<std::byte>& buffer) {
  platform::MemoryBlockDevice file(image);
  ImageReader reader(file, strict, ImageRetry{1, std::chrono::milliseconds(0)});
  ImageChunk chunk;
  bool wantCount = true;
  uint64_t chunks = 0;
  while (reader.Next(chunk, buffer) == ImageStatus::kChunk) {
    ++chunks;
    // Nothing handed on may lie outside the file or exceed one ring slot.
    if (chunk.dataLength > kImageChunkBytes) __builtin_trap();
    if (chunk.fileOffset > image.size() || chunk.dataLength > image.size() - chunk.fileOffset) {
      __builtin_trap();
    }
    if (chunk.dataLength > 0 &&
        chunk.runOffset * kImageSectorSize + chunk.dataLength > chunk.runLength) {
      __builtin_trap();
    }
    if (wantCount && chunk.dataLength > 0) {
      wantCount = false;
      uint64_t count = 0;
      static_cast<void>(RecordCountFromMftRecord(
          std::span<const std::byte>(buffer).first(chunk.dataLength), count));
    }
  }
  // Every chunk but a sparse one consumes data; every block consumes a record.
  if (chunks > image.size()) __builtin_trap();
  if (IsImageFault(reader.Status()) && reader.FaultText().empty()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::byte> image(size);
  if (size) std::memcpy(image.data(), data, size);
  static std::vector<std::byte> buffer(kImageChunkBytes);
  WalkImage(image, true, buffer);
  WalkImage(image, false, buffer);
  {
    // The survey of inspect and of a restore's checks, which also reads the $MFT.
    platform::MemoryBlockDevice file(image);
    ImageSurvey survey;
    SurveyImage(file, survey);
    if (!survey.ok && survey.faultText.empty()) __builtin_trap();
    // Only a fault names a missing record, and it says so in its kind.
    if (survey.Incomplete() && (survey.ok || (survey.faultKind != "cut-short" &&
                                              survey.faultKind != "missing-record"))) {
      __builtin_trap();
    }
    if (survey.blocks != survey.dataBlocks + survey.sparseBlocks) __builtin_trap();
    if (survey.dataBytes > image.size()) __builtin_trap();
  }
  {
    platform::MemoryBlockDevice file(image);
    std::string detail;
    const TaskError checked =
        CheckImageMft(file, detail, ImageRetry{1, std::chrono::milliseconds(0)});
    // A refusal always says why.
    if (checked != TaskError::kNone && detail.empty()) __builtin_trap();
  }

  if (size >= kImageHeaderSize) {
    ImageHeaderBytes header{};
    std::memcpy(header.data(), data, kImageHeaderSize);
    // Only the listed fields survive a round trip; they must survive it exactly.
    const ImageHeader decoded = ImageHeader::Decode(header);
    if (!(ImageHeader::Decode(decoded.Encode()) == decoded)) __builtin_trap();
  }
  if (size >= kImageHeaderSize + kBlockRecordSize) {
    BlockRecordBytes record{};
    std::memcpy(record.data(), data + kImageHeaderSize, kBlockRecordSize);
    if (BlockRecord::Decode(record).Encode() != record) __builtin_trap();
  }
  return 0;
}
