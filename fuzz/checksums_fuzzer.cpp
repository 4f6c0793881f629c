// Feeds arbitrary bytes to the checksum file parser, once as they come and once
// with their trailing self-check made to match (so that the fields behind it
// are reached), and walks a small image through the cursor with whatever the
// parser accepted.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/image/ImageChecksums.h"
#include "engine/image/ImageFormat.h"
#include "platform/MemoryBlockDevice.h"
#include "support/Bytes.h"
#include "support/Log.h"

using namespace stow;
using namespace stow::engine;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CLog::Instance().SetLevel(kLogOff);
  return 0;
}

namespace {

// Header, one block of 1 KiB with data, one sparse block.
std::vector<std::byte> SmallImage() {
  std::vector<std::byte> image;
  const ImageHeaderBytes h = ImageHeader{}.Encode();
  image.insert(image.end(), h.begin(), h.end());
  BlockRecord r{0, 1024, 1, 1024, 0, 1};
  const BlockRecordBytes a = r.Encode();
  image.insert(image.end(), a.begin(), a.end());
  image.resize(image.size() + 1024, std::byte{0x5A});
  r = BlockRecord{5, 4096, 2, 0, 0, 1};
  const BlockRecordBytes b = r.Encode();
  image.insert(image.end(), b.begin(), b.end());
  return image;
}

void Walk(const ImageChecksums& sums) {
  static const std::vector<std::byte> image = SmallImage();
  platform::MemoryBlockDevice file(image);
  ChecksumCursor cursor(sums);
  if (!cursor.CheckHeader(std::span(image).first(kImageHeaderSize))) return;
  ImageReader reader(file, false, ImageRetry{1, std::chrono::milliseconds(0)});
  std::vector<std::byte> buffer(4096);
  ImageChunk chunk;
  while (reader.Next(chunk, buffer) == ImageStatus::kChunk) {
    const BlockRecordBytes record = reader.CurrentRecord().Encode();
    const auto data = std::span(buffer).first(chunk.dataLength);
    const bool good = chunk.firstOfBlock
                          ? cursor.CheckStretch(reader.RecordOffset(), record, data, chunk.recordNumber)
                          : cursor.CheckStretch(chunk.fileOffset, {}, data, chunk.recordNumber);
    if (!good) return;
  }
  static_cast<void>(cursor.End(file.Size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::byte> bytes(reinterpret_cast<const std::byte*>(data),
                               reinterpret_cast<const std::byte*>(data) + size);
  ImageChecksums sums;
  std::string why;
  if (ParseChecksumFile(bytes, sums, why) == ChecksumFileStatus::kOk) Walk(sums);
  if (bytes.size() >= kChecksumFileHeaderSize + kChecksumTrailerSize) {
    const size_t trailer = bytes.size() - kChecksumTrailerSize;
    StoreLe64(&bytes[trailer], Xxh3(std::span(bytes).first(trailer)));
    if (ParseChecksumFile(bytes, sums, why) == ChecksumFileStatus::kOk) Walk(sums);
  }
  return 0;
}
