// The restore's image reader driven through TaskState with a stand-in writer
// that only records the slots: chunking, sparse blocks, the record count taken
// from the first record, and the faults of an image (cut short, a damaged
// record, a file that does not open, a stop) that must end with an error code
// instead of a shorter stream; with a checksum file beside the image, no chunk
// that does not match reaches the writer, and the reader ends with the error.
// Also run under ThreadSanitizer (`make tsan`).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/image/ImageChecksums.h"
#include "engine/image/ImageFormat.h"
#include "engine/transfer/RestoreWorkers.h"
#include "engine/transfer/TaskState.h"
#include "engine/transfer/TaskThreads.h"
#include "platform/MemoryBlockDevice.h"
#include "tests/engine/NtfsTestBuilder.h"
#include "tests/support/LogTestSupport.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/TaskErrorPrint.h"

namespace stow::engine {
namespace {

using namespace std::chrono_literals;
using testing::Buffer;
using testing::EncodeRuns;
using testing::RecordBuilder;

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

constexpr uint64_t kMiB = 1024 * 1024;

// An image built block by block in memory.
class ImageBytes {
 public:
  ImageBytes() {
    const ImageHeaderBytes header = ImageHeader{}.Encode();
    bytes_.assign(header.begin(), header.end());
  }
  // A block with data: the first bytes of its run are `start`, the rest a pattern.
  ImageBytes& Data(uint64_t record, uint16_t instance, uint64_t runLength,
                   const Buffer& start = {}) {
    Record(record, instance, runLength, std::min<uint64_t>(runLength, kImageChunkBytes));
    const size_t at = bytes_.size();
    bytes_.resize(at + runLength);
    for (uint64_t i = 0; i < runLength; ++i) bytes_[at + i] = static_cast<std::byte>(i / 512);
    std::copy(start.begin(), start.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at));
    return *this;
  }
  ImageBytes& Sparse(uint64_t record, uint16_t instance, uint64_t runLength) {
    Record(record, instance, runLength, 0);
    return *this;
  }
  Buffer& Bytes() { return bytes_; }
  size_t RecordOffset(size_t index) const { return offsets_.at(index); }

 private:
  void Record(uint64_t record, uint16_t instance, uint64_t runLength, uint64_t dataLength) {
    BlockRecord r;
    r.recordNumber = record;
    r.runLength = runLength;
    r.sequence = ++sequence_;
    r.dataLength = dataLength;
    r.attributeInstance = instance;
    offsets_.push_back(bytes_.size());
    const BlockRecordBytes encoded = r.Encode();
    bytes_.insert(bytes_.end(), encoded.begin(), encoded.end());
  }
  Buffer bytes_;
  std::vector<size_t> offsets_;
  uint64_t sequence_ = 0;
};

// Record 0 at the start of the $MFT's first block: 7 clusters of 4 KiB, 28 records.
Buffer MftStart() {
  return RecordBuilder(0)
      .NonResident(ntfs::kAttrData, EncodeRuns({{7, 4}}), 0, 6, 7 * 4096, 27 * 1024)
      .OnDisk();
}

struct SeenSlot {
  uint64_t record;
  uint64_t runLength;
  uint64_t runOffset;
  uint32_t dataLength;
  std::byte first;
};

// Runs the reader over `image` with a writer that drains and records the slots.
struct ReaderRun {
  std::vector<SeenSlot> slots;
  TaskError error = TaskError::kRunning;
  uint64_t totalSectors = 0;
  uint64_t recordCount = 0;

  std::string detail;

  explicit ReaderRun(Buffer image, bool openFails = false, bool stopFirst = false) {
    auto device = std::make_shared<Buffer>(std::move(image));
    RestoreIo io = RestoreIo::Default();
    io.openImage = [device, openFails](const std::string&,
                                       std::unique_ptr<platform::BlockDevice>& out) {
      if (openFails) return 2;  // no such file
      out = std::make_unique<platform::MemoryBlockDevice>(*device);
      return 0;
    };
    io.imageRetry = ImageRetry{1, 0ms};
    TaskThreads threads;
    threads.readFromFile = [io, stopFirst](TaskState& s) {
      if (stopFirst) s.StopTask();
      RunImageReader(s, io);
    };
    threads.writePartition = [this](TaskState& s) {
      TransferRing& ring = s.Ring();
      for (;;) {
        const int i = ring.ConsumerSlot();
        if (i < 0) {
          if (!s.ReaderRunning() && ring.ConsumerSlot() < 0) break;
          ring.WaitForSignal(20ms);
          continue;
        }
        const TransferSlot& slot = ring.Slot(i);
        slots.push_back({slot.recordNumber, slot.runLength, slot.runOffset, slot.dataLength,
                         slot.dataLength ? slot.buffer[slot.dataLength - 1] : std::byte{0}});
        ring.Release();
      }
      s.SetFirstError(TaskError::kSuccess);
    };
    TaskState state(threads);
    if (state.StartRestore("image.stow", platform::VolumeId("memory")) == kStartOk) {
      state.WaitForWorkers();
    }
    error = state.ErrorCode();
    detail = state.ErrorDetail();
    totalSectors = state.totalSectors.load();
    recordCount = state.recordCount.load();
  }
};

TEST(ImageReaderThread, SendsChunksOfAtMostFourMebibytesAndSparseBlocks) {
  ImageBytes image;
  image.Data(0, 0, 7 * 4096, MftStart())
      .Data(9, 3, 10 * kMiB)
      .Sparse(9, 3, 64 * kMiB)
      .Data(12, 1, 4096);
  const uint64_t size = image.Bytes().size();
  ReaderRun run(image.Bytes());
  EXPECT_EQ(run.error, TaskError::kSuccess);
  EXPECT_EQ(run.totalSectors, (size - kImageHeaderSize) / 512);
  EXPECT_EQ(run.recordCount, 28u);
  ASSERT_EQ(run.slots.size(), 6u);
  EXPECT_EQ(run.slots[0].record, 0u);
  const uint64_t offsets[] = {0, 8192, 16384};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(run.slots[1 + i].record, 9u);
    EXPECT_EQ(run.slots[1 + i].runOffset, offsets[i]);
    EXPECT_EQ(run.slots[1 + i].runLength, 10 * kMiB);
  }
  EXPECT_EQ(run.slots[1].dataLength, kImageChunkBytes);
  EXPECT_EQ(run.slots[3].dataLength, 2 * kMiB);
  // The last byte of each chunk is the run's sector number there.
  EXPECT_EQ(run.slots[2].first, static_cast<std::byte>((2 * 8192 - 1) & 0xFF));
  EXPECT_EQ(run.slots[4].dataLength, 0u);  // the sparse block: one slot, no data
  EXPECT_EQ(run.slots[4].runLength, 64 * kMiB);
  EXPECT_EQ(run.slots[5].record, 12u);
}

TEST(ImageReaderThread, AnImageCutShortEndsWithAnErrorAndSendsNothingOfTheCutBlock) {
  ImageBytes image;
  image.Data(0, 0, 7 * 4096, MftStart()).Data(9, 3, 64 * 1024).Data(10, 1, 1 * kMiB);
  image.Bytes().resize(image.RecordOffset(2) + kBlockRecordSize + 5000);
  ReaderRun run(image.Bytes());
  EXPECT_EQ(run.error, TaskError::kImageDamaged);
  ASSERT_EQ(run.slots.size(), 2u);
  EXPECT_EQ(run.slots[1].record, 9u);

  // A record cut short by the end of the file is no clean end either.
  ImageBytes partial;
  partial.Data(0, 0, 7 * 4096, MftStart());
  partial.Bytes().resize(partial.Bytes().size() + 17);
  EXPECT_EQ(ReaderRun(partial.Bytes()).error, TaskError::kImageDamaged);
}

TEST(ImageReaderThread, ADamagedBlockRecordEndsWithAnError) {
  ImageBytes image;
  image.Data(0, 0, 7 * 4096, MftStart()).Data(9, 3, 4096).Data(10, 1, 4096);
  StoreLe16(&image.Bytes()[image.RecordOffset(2) + kRecordMarkerOffset], 0xFFFE);
  ReaderRun run(image.Bytes());
  EXPECT_EQ(run.error, TaskError::kImageDamaged);
  EXPECT_EQ(run.slots.size(), 2u);
}

TEST(ImageReaderThread, TheFirstRecordMustDescribeANonResidentMft) {
  ImageBytes image;
  image.Data(0, 0, 7 * 4096, RecordBuilder(0).Resident(ntfs::kAttrData, Buffer(16)).OnDisk());
  ReaderRun run(image.Bytes());
  EXPECT_EQ(run.error, TaskError::kNoMftData);
  EXPECT_TRUE(run.slots.empty());
}

TEST(ImageReaderThread, AnImageThatDoesNotOpenOrAStopEndsTheReader) {
  test::LogCapture log;
  ImageBytes image;
  image.Data(0, 0, 7 * 4096, MftStart());
  ReaderRun unopened(image.Bytes(), true);
  EXPECT_EQ(unopened.error, TaskError::kImageOpenFailed);
  EXPECT_EQ(log.Count("in readfromfile thread, open file false, error=0x2"), 1);
  ReaderRun stopped(image.Bytes(), false, true);
  EXPECT_EQ(stopped.error, TaskError::kManualStop);
  EXPECT_TRUE(stopped.slots.empty());
  // A header alone is an image without data: the reader sends nothing and
  // leaves the verdict to the writer.
  ReaderRun empty(Buffer(image.Bytes().begin(), image.Bytes().begin() + kImageHeaderSize));
  EXPECT_EQ(empty.error, TaskError::kSuccess);
  EXPECT_TRUE(empty.slots.empty());
  EXPECT_EQ(empty.totalSectors, 0u);
}

// The checksum file of `image` as the backup writes it, beside the path the
// reader runs open ("image.stow" in the working folder); removed at the end.
class ChecksumFileBeside {
 public:
  explicit ChecksumFileBeside(const Buffer& image, long invert = -1) {
    ChecksumBuilder b;
    b.Header(std::span(image).first(kImageHeaderSize));
    uint64_t at = kImageHeaderSize;
    while (at + kBlockRecordSize <= image.size()) {
      const std::span<const std::byte, kBlockRecordSize> record(image.data() + at,
                                                                kBlockRecordSize);
      const BlockRecord r = BlockRecord::Decode(record);
      b.Record(at, record, r.runLength, r.CarriesData());
      at += kBlockRecordSize;
      if (r.CarriesData()) {
        b.Data(at, std::span(image).subspan(at, r.runLength));
        at += r.runLength;
      }
    }
    std::vector<std::byte> bytes = b.Finish().Encode();
    EXPECT_FALSE(b.Broken());
    if (invert >= 0) bytes.at(static_cast<size_t>(invert)) ^= std::byte{0xFF};
    std::ofstream(kPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  ~ChecksumFileBeside() { std::filesystem::remove(kPath); }
  ChecksumFileBeside(const ChecksumFileBeside&) = delete;
  ChecksumFileBeside& operator=(const ChecksumFileBeside&) = delete;

 private:
  static constexpr const char* kPath = "image.stow.sums";
};

TEST(ImageReaderThread, NoChunkThatDoesNotMatchItsChecksumReachesTheWriter) {
  ImageBytes image;
  image.Data(0, 0, 7 * 4096, MftStart())
      .Data(9, 3, 10 * kMiB)
      .Sparse(10, 1, 0)  // a run of no length: a block without a chunk
      .Data(12, 1, 4096);
  const Buffer sound = image.Bytes();
  {
    ChecksumFileBeside sums(sound);
    ReaderRun run(sound);
    EXPECT_EQ(run.error, TaskError::kSuccess) << run.detail;
    EXPECT_EQ(run.slots.size(), 5u);
  }
  auto changed = [&](size_t at) {
    Buffer bytes = sound;
    bytes.at(at) ^= std::byte{0x01};
    return bytes;
  };
  ChecksumFileBeside sums(sound);
  // A byte in the second chunk of the long run: the first chunk went, that one did not.
  const size_t second = image.RecordOffset(1) + kBlockRecordSize + kImageChunkBytes;
  ReaderRun data(changed(second + 5));
  EXPECT_EQ(data.error, TaskError::kImageDamaged);
  EXPECT_EQ(data.slots.size(), 2u);
  EXPECT_NE(data.detail.find("file record 9 at offset " + std::to_string(second)),
            std::string::npos)
      << data.detail;
  // The block that yields no chunk is checked too, before anything after it goes.
  ReaderRun empty(changed(image.RecordOffset(2) + kRecordInstanceOffset));
  EXPECT_EQ(empty.error, TaskError::kImageDamaged);
  EXPECT_EQ(empty.slots.size(), 4u);
  EXPECT_NE(empty.detail.find("file record 10 at offset " + std::to_string(image.RecordOffset(2))),
            std::string::npos)
      << empty.detail;
  // The header, before the first chunk.
  ReaderRun header(changed(kHeaderClusterSizeOffset));
  EXPECT_EQ(header.error, TaskError::kImageDamaged);
  EXPECT_TRUE(header.slots.empty());
  // A block more than was written: every chunk matches, the end does not, and
  // the reader ends with the error, so the writer never finishes the volume.
  Buffer grown = sound;
  const BlockRecordBytes extra = BlockRecord{12, 0, 5, 0, 0, 1}.Encode();
  grown.insert(grown.end(), extra.begin(), extra.end());
  ReaderRun more(grown);
  EXPECT_EQ(more.error, TaskError::kImageDamaged);
  EXPECT_EQ(more.slots.size(), 5u);
}

TEST(ImageReaderThread, ADamagedChecksumFileEndsTheReaderBeforeItSendsAnything) {
  ImageBytes image;
  image.Data(0, 0, 7 * 4096, MftStart()).Data(9, 3, 4096);
  ChecksumFileBeside sums(image.Bytes(), 70);
  ReaderRun run(image.Bytes());
  EXPECT_EQ(run.error, TaskError::kImageDamaged);
  EXPECT_TRUE(run.slots.empty());
  EXPECT_NE(run.detail.find("checksum file"), std::string::npos) << run.detail;
}

}  // namespace
}  // namespace stow::engine
