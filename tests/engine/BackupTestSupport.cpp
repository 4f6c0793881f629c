#include "tests/engine/BackupTestSupport.h"

#include <algorithm>

#include "support/Bytes.h"
#include "tests/engine/NtfsTestBuilder.h"

namespace stow::engine::testing {

void Gate::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  reached_ = true;
  cv_.notify_all();
  cv_.wait(lock, [this] { return open_; });
}

void Gate::Open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
  }
  cv_.notify_all();
}

void Gate::WaitUntilReached() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return reached_; });
}

namespace {

bool Touches(uint64_t offset, uint64_t length, uint64_t from, uint64_t to) {
  return from < to && offset < to && offset + length > from;
}

}  // namespace

platform::IoResult ScriptedDevice::ReadAt(uint64_t offset, std::span<std::byte> out) {
  if (holdReads != nullptr && Touches(offset, out.size(), holdFrom, holdTo)) {
    Gate* gate = holdReads;
    holdReads = nullptr;  // one hold per device
    gate->Wait();
  }
  if (Touches(offset, out.size(), failFrom, failTo)) return {0, 5};  // EIO
  return inner_->ReadAt(offset, out);
}

platform::IoResult ScriptedDevice::WriteAt(uint64_t offset, std::span<const std::byte> in) {
  if (writesBeforeFailure >= 0 && writes_ >= writesBeforeFailure) return {0, 28};  // ENOSPC
  ++writes_;
  return inner_->WriteAt(offset, in);
}

std::byte PatternByte(uint64_t offset) {
  return static_cast<std::byte>((offset * 131 + (offset >> 9) * 7 + (offset >> 20)) & 0xFF);
}

const SourceVolume& TheSourceVolume() {
  static const SourceVolume volume = [] {
    using ntfs::kAttrData;
    constexpr uint32_t kAttrBitmap = 0xB0;
    constexpr uint64_t kCluster = SourceVolume::kClusterSize;
    TestVolume v;
    v.sectorsPerCluster = 8;
    v.clusters = 4096;
    v.mftRuns = {{16, 16}};
    v.records.resize(64);
    v.records[0] =
        v.MftRecord().NonResident(kAttrBitmap, EncodeRuns({{1, 40}}), 0, 0, kCluster, 8).OnDisk();
    v.records[6] = RecordBuilder(6)
                       .NonResident(kAttrData, EncodeRuns({{1, 41}}), 0, 0, kCluster, 512)
                       .OnDisk();
    v.records[7] = RecordBuilder(7)
                       .NonResident(kAttrData, EncodeRuns({{2, 0}}), 0, 1, 2 * kCluster, 8192)
                       .OnDisk();
    v.records[8] = RecordBuilder(8)
                       .NonResident(kAttrData, EncodeRuns({{4096, -1}}), 0, 4095, 4096 * kCluster,
                                    4096 * kCluster, u"$Bad")
                       .OnDisk();
    v.records[20] = RecordBuilder(20)
                        .Resident(ntfs::kAttrStandardInformation, Buffer(48))
                        .NonResident(kAttrData, EncodeRuns({{2560, 200}, {16, -1}, {3, 3000}}), 0,
                                     2578, 2579 * kCluster, 2579 * kCluster - 100)
                        .OnDisk();
    v.records[21] = RecordBuilder(21).Resident(kAttrData, Buffer(300)).OnDisk();
    v.records[22] = RecordBuilder(22)
                        .NonResident(kAttrData, EncodeRuns({{2, 3100}}), 0, 1, 2 * kCluster, 8000)
                        .NonResident(kAttrData, EncodeRuns({{1, 3200}}), 0, 0, kCluster, 10, u"s")
                        .OnDisk();
    // A deleted file: its record is not in use, its clusters are free.
    v.records[30] = RecordBuilder(30, 0)
                        .NonResident(kAttrData, EncodeRuns({{5, 3300}}), 0, 4, 5 * kCluster, 20000)
                        .OnDisk();

    SourceVolume out;
    out.expected = {{0, 0, 0, 16, 16},   {20, 1, 0, 2560, 200}, {20, 1, 1, 16, -1},
                    {20, 1, 2, 3, 3000}, {22, 0, 0, 2, 3100},   {22, 1, 0, 1, 3200}};
    out.bytes = v.Build()->Data();
    for (const ExpectedRun& run : out.expected) {
      if (run.lcn < 0 || run.record == 0) continue;
      const uint64_t from = static_cast<uint64_t>(run.lcn) * kCluster;
      for (uint64_t b = from; b < from + run.clusters * kCluster; ++b)
        out.bytes[b] = PatternByte(b);
    }
    return out;
  }();
  return volume;
}

ImageFile ReadImageFile(const std::filesystem::path& path) {
  ImageFile image;
  std::unique_ptr<platform::BlockDevice> file;
  if (platform::OpenBlockDevice(path.string(), true, file) != 0) return image;
  image.bytes.resize(file->Size());
  if (file->ReadAt(0, image.bytes).bytes != image.bytes.size()) return image;
  const std::vector<std::byte>& b = image.bytes;
  if (b.size() < kImageHeaderSize) return image;
  image.header.assign(b.begin(), b.begin() + kImageHeaderSize);
  uint64_t at = kImageHeaderSize;
  while (at + kBlockRecordSize <= b.size()) {
    ImageBlock block;
    block.recordNumber = LoadLe64(&b[at]);
    block.runLength = LoadLe64(&b[at + 8]);
    block.sequence = LoadLe64(&b[at + 16]);
    block.dataLength = LoadLe64(&b[at + 24]);
    block.runIndex = LoadLe32(&b[at + 32]);
    block.instance = LoadLe16(&b[at + 36]);
    if (LoadLe16(&b[at + 38]) != kImageMarker) return image;
    at += kBlockRecordSize;
    block.dataOffset = at;
    if (block.dataLength != 0) {
      if (block.runLength > b.size() - at) return image;
      at += block.runLength;
    }
    image.blocks.push_back(block);
  }
  image.wellFormed = at == b.size();
  return image;
}

}  // namespace stow::engine::testing
