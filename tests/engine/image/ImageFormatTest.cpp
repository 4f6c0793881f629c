// The image file: byte layouts, the writer's blocks, the reader's walk and its
// faults on images damaged one field at a time, and $MFT's record count.
#include "engine/image/ImageFormat.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>

#include "engine/transfer/TaskState.h"
#include "platform/Files.h"
#include "platform/MemoryBlockDevice.h"
#include "support/Bytes.h"
#include "tests/testlib/TaskErrorPrint.h"
#include "tests/testlib/TestUtil.h"

namespace stow::engine {
namespace {

using platform::MemoryBlockDevice;
constexpr ImageRetry kNoWait{10, std::chrono::milliseconds(0)};
constexpr uint64_t kMiB = 1024 * 1024;

std::vector<std::byte> Pattern(size_t size, uint8_t seed) {
  std::vector<std::byte> v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<std::byte>((i * 131 + seed) & 0xFF);
  return v;
}

TEST(ImageLayout, HeaderAndRecordBytesSitAtTheirOffsets) {
  ImageHeader h;
  h.letter = 'C';
  h.windows = 1;
  h.clusterSize = 4096;
  const ImageHeaderBytes hb = h.Encode();
  ImageHeaderBytes expected{};
  expected[0] = std::byte{'C'};
  expected[1] = std::byte{1};
  expected[25] = std::byte{0x10};  // 4096 little-endian at 24
  expected[38] = expected[39] = std::byte{0xFF};
  EXPECT_EQ(hb, expected);
  EXPECT_EQ(ImageHeader::Decode(hb), h);

  BlockRecord r;
  r.recordNumber = 0x0807060504030201;
  r.runLength = 0x1817161514131211;
  r.sequence = 0x2827262524232221;
  r.dataLength = 0x3837363534333231;
  r.runIndex = 0x44434241;
  r.attributeInstance = 0x5251;
  const BlockRecordBytes rb = r.Encode();
  for (size_t field = 0; field < 4; ++field) {
    for (size_t i = 0; i < 8; ++i) {
      EXPECT_EQ(static_cast<unsigned>(rb[field * 8 + i]), field * 0x10 + i + 1)
          << "byte " << field * 8 + i;
    }
  }
  EXPECT_EQ(LoadLe32(&rb[32]), 0x44434241u);
  EXPECT_EQ(LoadLe16(&rb[36]), 0x5251u);
  EXPECT_EQ(LoadLe16(&rb[38]), 0xFFFFu);
  EXPECT_EQ(BlockRecord::Decode(rb), r);
}

TEST(ImageLayout, CheckImageHeaderWantsFortyBytesAndTheMarker) {
  test::TempDir dir;
  ImageHeader h;
  h.letter = 'E';
  const ImageHeaderBytes good = h.Encode();
  const auto write = [&](const std::string& name, std::span<const std::byte> bytes) {
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return (dir / name).string();
  };
  ImageHeaderBytes out{};
  EXPECT_TRUE(CheckImageHeader(out, write("good.vmg", good), kNoWait).Ok());
  EXPECT_EQ(out, good);

  ImageHeaderBytes noMarker = good;
  noMarker[39] = std::byte{0x7F};
  EXPECT_EQ(CheckImageHeader(out, write("marker.vmg", noMarker), kNoWait),
            ImageHeaderCheck::kBadMarker);
  EXPECT_EQ(CheckImageHeader(out, write("short.vmg", std::span(good).first(39)), kNoWait),
            ImageHeaderCheck::kReadFailed);
  const Status<ImageHeaderCheck> missing =
      CheckImageHeader(out, (dir / "missing.vmg").string(), kNoWait);
  EXPECT_EQ(missing, ImageHeaderCheck::kOpenFailed);
  EXPECT_FALSE(missing.Detail().empty()) << "the system's own words";
}

// Writes chunks of 4 MiB (the way the ring carries a run) for a run of `bytes`.
void AppendRun(ImageWriter& w, uint64_t record, uint16_t index,
               const std::vector<std::byte>& data) {
  for (uint64_t done = 0; done < data.size(); done += kImageChunkBytes) {
    const auto len =
        static_cast<uint32_t>(std::min<uint64_t>(kImageChunkBytes, data.size() - done));
    ImageChunk c{record, 1, index, data.size(), done / 512, len, 0, false};
    ASSERT_EQ(w.Append(c, std::span(data).subspan(done, len)), kImageWriteOk);
  }
}

TEST(ImageFile, TenMiBRunIsOneRecordThenItsDataAndSparseRunsCarryNone) {
  test::TempDir dir;
  const std::string path = (dir / "run.vmg").string();
  const std::vector<std::byte> run = Pattern(10 * kMiB, 3);
  {
    std::unique_ptr<platform::BlockDevice> file;
    ASSERT_EQ(platform::CreateRegularFile(path, file), 0);
    ImageWriter w(*file, kNoWait);
    ASSERT_EQ(w.WriteHeader(ImageHeader{'D', 0, 4096}), kImageWriteOk);
    AppendRun(w, 0, 0, run);
    ASSERT_EQ(w.Append(ImageChunk{0, 1, 1, 64 * 1024, 0, 0, 0, false}, {}), kImageWriteOk);
    AppendRun(w, 0, 2, Pattern(4096, 9));
    EXPECT_EQ(w.Finish(), kImageWriteOk);
    EXPECT_EQ(w.BlocksWritten(), 3u);
  }
  uint64_t size = 0;
  ASSERT_EQ(platform::QueryFileSize(path, size), 0);
  EXPECT_EQ(size, 40 + 40 + 10 * kMiB + 40 + 40 + 4096);

  std::unique_ptr<platform::BlockDevice> file;
  ASSERT_EQ(platform::OpenBlockDevice(path, true, file), 0);
  std::array<std::byte, 40> raw{};
  ASSERT_EQ(file->ReadAt(40, raw).bytes, 40u);
  const BlockRecord first = BlockRecord::Decode(raw);
  EXPECT_EQ(first.runLength, 10 * kMiB);
  EXPECT_EQ(first.dataLength, 4194304u);
  EXPECT_EQ(first.sequence, 1u);
  ASSERT_EQ(file->ReadAt(80 + 10 * kMiB, raw).bytes, 40u);
  const BlockRecord sparse = BlockRecord::Decode(raw);
  EXPECT_EQ(sparse.dataLength, 0u);
  EXPECT_EQ(sparse.sequence, 2u);
  ASSERT_EQ(file->ReadAt(120 + 10 * kMiB, raw).bytes, 40u);
  EXPECT_EQ(BlockRecord::Decode(raw).sequence, 3u) << "the next record follows the sparse one";

  // Read back: three 4 MiB-or-less chunks at run offsets 0, 8192, 16384, then the sparse one.
  ImageReader reader(*file, true, kNoWait);
  EXPECT_EQ(reader.TotalSectors(), (size - 40) / 512);
  std::vector<std::byte> buffer(kImageChunkBytes), joined;
  ImageChunk c;
  const uint64_t offsets[] = {0, 8192, 16384};
  for (uint64_t expectedOffset : offsets) {
    ASSERT_EQ(reader.Next(c, buffer), ImageStatus::kChunk);
    EXPECT_EQ(c.runOffset, expectedOffset);
    EXPECT_EQ(c.runLength, 10 * kMiB);
    joined.insert(joined.end(), buffer.begin(), buffer.begin() + c.dataLength);
  }
  EXPECT_TRUE(joined == run);
  ASSERT_EQ(reader.Next(c, buffer), ImageStatus::kChunk);
  EXPECT_EQ(c.dataLength, 0u);
  EXPECT_EQ(c.runLength, 64u * 1024);
  EXPECT_EQ(c.runIndex, 1);
  ASSERT_EQ(reader.Next(c, buffer), ImageStatus::kChunk);
  EXPECT_EQ(c.runIndex, 2);
  EXPECT_EQ(reader.Next(c, buffer), ImageStatus::kEnd);
  EXPECT_EQ(reader.Next(c, buffer), ImageStatus::kEnd);
  EXPECT_EQ(reader.BlocksRead(), 3u);
  EXPECT_EQ(reader.DataBytesSeen(), 10 * kMiB + 4096);
}

// Runs as a partition reader sends them: record, instance, index, bytes, sparse.
struct SourceRun {
  uint64_t record;
  uint16_t instance;
  uint16_t index;
  uint64_t bytes;
  bool sparse;
};

TEST(ImageFile, SlotsWrittenFromTheRingComeBackAsTheSameSlots) {
  const SourceRun runs[] = {{0, 1, 0, 9 * kMiB, false}, {0, 1, 1, 2 * kMiB, true},
                            {0, 1, 2, 8192, false},     {5, 3, 0, 512, false},
                            {5, 3, 1, 1 * kMiB, true},  {5, 4, 0, 4 * kMiB, false},
                            {9, 2, 7, 4096, false}};
  std::vector<TransferSlot> sent;
  std::vector<uint32_t> sentCrc;
  TransferRing ring;
  ASSERT_TRUE(ring.Reset());
  MemoryBlockDevice file(64 * kMiB);
  ImageWriter writer(file, kNoWait);
  ASSERT_EQ(writer.WriteHeader(ImageHeader{'F', 0, 512}), kImageWriteOk);
  uint8_t seed = 0;
  for (const SourceRun& r : runs) {
    const uint64_t chunks = r.sparse ? 1 : (r.bytes + kSlotBytes - 1) / kSlotBytes;
    for (uint64_t i = 0; i < chunks; ++i) {
      TransferSlot& slot = ring.Slot(ring.ProducerSlot());
      slot.recordNumber = r.record;
      slot.attributeInstance = r.instance;
      slot.runIndex = r.index;
      slot.runLength = r.bytes;
      slot.runOffset = r.sparse ? 0 : i * kSlotSectors;
      slot.dataLength =
          r.sparse
              ? 0
              : static_cast<uint32_t>(std::min<uint64_t>(kSlotBytes, r.bytes - i * kSlotBytes));
      const auto data = Pattern(slot.dataLength, ++seed);
      std::copy(data.begin(), data.end(), slot.Buffer().begin());
      sent.push_back(TransferSlot{slot.recordNumber, slot.attributeInstance, slot.runIndex,
                                  slot.runLength, slot.runOffset, slot.dataLength, nullptr});
      sentCrc.push_back(Crc32(slot.Data()));
      ring.Commit();
      const int taken = ring.ConsumerSlot();
      ASSERT_EQ(writer.Append(ChunkOfSlot(ring.Slot(taken)), ring.Slot(taken).Data()),
                kImageWriteOk);
      ring.Release();
    }
  }
  ASSERT_EQ(writer.Finish(), kImageWriteOk);
  EXPECT_EQ(writer.BlocksWritten(), std::size(runs));
  file.Data().resize(writer.Position());

  ImageReader reader(file, true, kNoWait);
  ImageChunk chunk;
  size_t n = 0;
  for (TransferSlot& slot = ring.Slot(ring.ProducerSlot());
       reader.Next(chunk, slot.Buffer()) == ImageStatus::kChunk; ++n) {
    FillSlotHeader(slot, chunk);
    ASSERT_LT(n, sent.size());
    EXPECT_EQ(slot.recordNumber, sent[n].recordNumber) << n;
    EXPECT_EQ(slot.attributeInstance, sent[n].attributeInstance) << n;
    EXPECT_EQ(slot.runIndex, sent[n].runIndex) << n;
    EXPECT_EQ(slot.runLength, sent[n].runLength) << n;
    EXPECT_EQ(slot.runOffset, sent[n].runOffset) << n;
    EXPECT_EQ(slot.dataLength, sent[n].dataLength) << n;
    EXPECT_EQ(Crc32(slot.Data()), sentCrc[n]) << n;
  }
  EXPECT_EQ(reader.Status(), ImageStatus::kEnd) << reader.FaultText();
  EXPECT_EQ(n, sent.size());
}

// A small image in memory: header, an 8 KiB run of record 0, a sparse run, a
// 4 KiB run of record 5. Offsets: blocks at 40, 8272 and 8312.
constexpr uint64_t kBlock1 = 40, kBlock2 = 40 + 40 + 8192, kBlock3 = kBlock2 + 40;
std::vector<std::byte> SmallImage() {
  MemoryBlockDevice dev(kBlock3 + 40 + 4096);
  ImageWriter w(dev, kNoWait);
  EXPECT_EQ(w.WriteHeader(ImageHeader{'C', 1, 4096}), kImageWriteOk);
  AppendRun(w, 0, 0, Pattern(8192, 1));
  EXPECT_EQ(w.Append(ImageChunk{0, 1, 1, 8192, 0, 0, 0, false}, {}), kImageWriteOk);
  AppendRun(w, 5, 0, Pattern(4096, 2));
  EXPECT_EQ(w.Position(), dev.Size());
  return dev.Data();
}

struct Walk {
  ImageStatus status;
  uint64_t offset;
  int chunks;
};
Walk WalkImage(std::vector<std::byte> bytes, bool strict = true) {
  MemoryBlockDevice dev(std::move(bytes));
  ImageReader reader(dev, strict, kNoWait);
  std::vector<std::byte> buffer(kImageChunkBytes);
  ImageChunk c;
  int chunks = 0;
  ImageStatus s;
  while ((s = reader.Next(c, buffer)) == ImageStatus::kChunk) ++chunks;
  return {s, reader.FaultOffset(), chunks};
}

void Patch64(std::vector<std::byte>& v, uint64_t at, uint64_t value) { StoreLe64(&v[at], value); }

TEST(ImageFile, DamagedImagesStopAtTheFirstFaultWithItsOffset) {
  const std::vector<std::byte> good = SmallImage();
  Walk w = WalkImage(good);
  EXPECT_EQ(w.status, ImageStatus::kEnd);
  EXPECT_EQ(w.chunks, 3);

  auto cut = good;
  cut.resize(kBlock3 + 20);  // the last record cut short
  w = WalkImage(cut);
  EXPECT_EQ(w.status, ImageStatus::kTruncatedRecord);
  EXPECT_EQ(w.offset, kBlock3);
  EXPECT_EQ(w.chunks, 2);

  cut = good;
  cut.resize(kBlock1 + 40 + 5000);  // inside the first run's data
  w = WalkImage(cut);
  EXPECT_EQ(w.status, ImageStatus::kDataTruncated);
  EXPECT_EQ(w.offset, kBlock1);
  EXPECT_EQ(w.chunks, 0) << "nothing of a run that cannot be complete is handed on";

  auto marker = good;
  marker[kBlock2 + 38] = std::byte{0xFE};
  w = WalkImage(marker);
  EXPECT_EQ(w.status, ImageStatus::kBadMarker);
  EXPECT_EQ(w.offset, kBlock2);
  EXPECT_EQ(w.chunks, 1);

  for (uint64_t length : {uint64_t{1} << 20, ~uint64_t{0}, ~uint64_t{0} - 40}) {
    auto beyond = good;
    Patch64(beyond, kBlock3 + 8, length);
    w = WalkImage(beyond, false);
    EXPECT_EQ(w.status, ImageStatus::kDataTruncated) << length;
    EXPECT_EQ(w.offset, kBlock3);
  }

  auto sequence = good;
  Patch64(sequence, kBlock2 + 16, 7);
  w = WalkImage(sequence);
  EXPECT_EQ(w.status, ImageStatus::kBadSequence);
  EXPECT_EQ(w.offset, kBlock2);
  EXPECT_EQ(WalkImage(sequence, false).status, ImageStatus::kEnd)
      << "a restore does not check them";

  auto dataLength = good;
  Patch64(dataLength, kBlock3 + 24, 4095);
  w = WalkImage(dataLength);
  EXPECT_EQ(w.status, ImageStatus::kBadDataLength);
  EXPECT_EQ(w.offset, kBlock3);

  // Shorter than the header: no size underflow, no progress total, a fault at 0.
  auto tiny = good;
  tiny.resize(39);
  MemoryBlockDevice dev(tiny);
  ImageReader reader(dev, false, kNoWait);
  EXPECT_EQ(reader.TotalSectors(), 0u);
  w = WalkImage(tiny);
  EXPECT_EQ(w.status, ImageStatus::kNoHeader);
  EXPECT_EQ(w.offset, 0u);
}

TEST(ImageFile, HeaderOnlyImageHasNothingToRestore) {
  auto bytes = SmallImage();
  bytes.resize(40);
  MemoryBlockDevice dev(bytes);
  ImageReader reader(dev, true, kNoWait);
  EXPECT_EQ(reader.TotalSectors(), 0u);
  ImageChunk c;
  EXPECT_EQ(reader.Next(c, {}), ImageStatus::kEnd);
  EXPECT_EQ(reader.BlocksRead(), 0u);
}

TEST(ImageFile, ReadFailuresAreFaultsAfterTheRetries) {
  MemoryBlockDevice dev(SmallImage());
  ImageReader reader(dev, true, kNoWait);
  dev.FailReads(10);
  ImageChunk c;
  std::vector<std::byte> buffer(kImageChunkBytes);
  EXPECT_EQ(reader.Next(c, buffer), ImageStatus::kReadFailed);
  EXPECT_EQ(reader.FaultOffset(), kBlock1);
  EXPECT_EQ(dev.ReadCalls(), 10);
  EXPECT_NE(reader.FaultText().find("offset 40"), std::string::npos);
}

TEST(ImageFile, WriterRefusesBlocksThatWouldFallOutOfStep) {
  MemoryBlockDevice dev(1 * kMiB);
  ImageWriter w(dev, kNoWait);
  const auto data = Pattern(8192, 4);
  EXPECT_EQ(w.Append(ImageChunk{0, 1, 0, 8192, 0, 4096, 0, false}, data), kImageNoHeader);
  ASSERT_EQ(w.WriteHeader(ImageHeader{}), kImageWriteOk);
  ASSERT_EQ(w.Append(ImageChunk{0, 1, 0, 8192, 0, 4096, 0, false}, data), kImageWriteOk);
  EXPECT_EQ(w.Finish(), kImageRunIncomplete);
  // The rest of the run went missing and the next run begins.
  EXPECT_EQ(w.Append(ImageChunk{0, 1, 1, 4096, 0, 4096, 0, false}, data), kImageRunIncomplete);
  EXPECT_EQ(w.Append(ImageChunk{0, 1, 0, 8192, 16, 4096, 0, false}, data), kImageChunkOutOfStep);
  EXPECT_EQ(w.Append(ImageChunk{3, 1, 0, 8192, 8, 4096, 0, false}, data), kImageRunIncomplete);
  ASSERT_EQ(w.Append(ImageChunk{0, 1, 0, 8192, 8, 4096, 0, false}, data), kImageWriteOk);
  EXPECT_EQ(w.Finish(), kImageWriteOk);
  EXPECT_EQ(w.Append(ImageChunk{3, 1, 0, 8192, 8, 4096, 0, false}, data), kImageChunkOutOfStep)
      << "a run cannot start in its middle";

  dev.FailWrites(10);
  EXPECT_EQ(w.Append(ImageChunk{4, 1, 0, 4096, 0, 4096, 0, false}, data), kImageWriteFailed);
  EXPECT_EQ(dev.WriteCalls(), 4 + 10);
}

// A file record 0 with $STANDARD_INFORMATION, $FILE_NAME, a named $DATA and the
// unnamed $DATA at `dataAt`.
std::vector<std::byte> MftRecord(uint32_t dataAt, bool nonResident, uint64_t allocated) {
  std::vector<std::byte> r(1024);
  std::memcpy(r.data(), "FILE", 4);
  StoreLe16(&r[0x14], 0x38);
  const auto attr = [&](uint32_t at, uint32_t type, uint32_t length, uint8_t nameLength) {
    StoreLe32(&r[at], type);
    StoreLe32(&r[at + 4], length);
    r[at + 9] = static_cast<std::byte>(nameLength);
  };
  attr(0x38, 0x10, 0x60, 0);
  attr(0x98, 0x30, 0x68, 0);
  attr(0x100, 0x80, dataAt - 0x100, 4);  // a named $DATA stream comes first
  r[0x108] = std::byte{1};
  StoreLe64(&r[0x128], 0x999999);
  attr(dataAt, 0x80, 0x48, 0);
  r[dataAt + 8] = static_cast<std::byte>(nonResident ? 1 : 0);
  StoreLe64(&r[dataAt + 0x28], allocated);
  StoreLe32(&r[dataAt + 0x48], 0xFFFFFFFF);
  return r;
}

TEST(MftRecordCount, FirstUnnamedNonResidentDataGivesTheCount) {
  uint64_t count = 0;
  EXPECT_EQ(RecordCountFromMftRecord(MftRecord(0x140, true, 0x40000), count), TaskError::kNone);
  EXPECT_EQ(count, 256u);
  EXPECT_EQ(RecordCountFromMftRecord(MftRecord(0x140, false, 0x40000), count),
            TaskError::kNoMftData);

  auto noData = MftRecord(0x140, true, 0x40000);
  StoreLe32(&noData[0x140], 0xB0);
  EXPECT_EQ(RecordCountFromMftRecord(noData, count), TaskError::kNoMftData);
  auto zeroLength = MftRecord(0x140, true, 0x40000);
  StoreLe32(&zeroLength[0x98 + 4], 0);
  EXPECT_EQ(RecordCountFromMftRecord(zeroLength, count), TaskError::kNoMftData);
  auto pastEnd = MftRecord(0x140, true, 0x40000);
  StoreLe32(&pastEnd[0x140 + 4], 0x1000);
  EXPECT_EQ(RecordCountFromMftRecord(pastEnd, count), TaskError::kNoMftData);
  auto firstPastEnd = MftRecord(0x140, true, 0x40000);
  StoreLe16(&firstPastEnd[0x14], 0xFFF8);
  EXPECT_EQ(RecordCountFromMftRecord(firstPastEnd, count), TaskError::kNoMftData);
  const auto whole = MftRecord(0x140, true, 1);
  EXPECT_EQ(RecordCountFromMftRecord(std::span(whole).first(1023), count), TaskError::kNoMftData);

  // The allocated size straddles the end of the first sector: its last two bytes
  // sit in the update sequence array and the fix-up brings them back.
  auto fixed = MftRecord(0x1D0, true, 0x1122334455667788);
  StoreLe16(&fixed[4], 0x30);  // update sequence array at 0x30, 3 entries
  StoreLe16(&fixed[6], 3);
  StoreLe16(&fixed[0x30], 0xABCD);
  StoreLe16(&fixed[0x32], LoadLe16(&fixed[0x1FE]));
  StoreLe16(&fixed[0x34], LoadLe16(&fixed[0x3FE]));
  StoreLe16(&fixed[0x1FE], 0xABCD);
  StoreLe16(&fixed[0x3FE], 0xABCD);
  EXPECT_EQ(RecordCountFromMftRecord(fixed, count), TaskError::kNone);
  EXPECT_EQ(count, 0x1122334455667788u / 1024);
}

TEST(MftRecordCount, AgreesWithNtfsinfoOnAFreshVolume) {
  STOW_REQUIRE(std::vector<std::string>({"mkntfs", "ntfsinfo"}), false, false);
  test::TempDir dir;
  const std::string volume = (dir / "volume.ntfs").string();
  test::MakeSparseFile(volume, 64 * kMiB);
  ASSERT_EQ(test::Run({"mkntfs", "-F", "-f", "-q", volume}).status, 0);

  std::unique_ptr<platform::BlockDevice> dev;
  ASSERT_EQ(platform::OpenBlockDevice(volume, true, dev), 0);
  std::array<std::byte, 512> boot{};
  ASSERT_EQ(dev->ReadAt(0, boot).bytes, 512u);
  const uint64_t clusterBytes = uint64_t{LoadLe16(&boot[11])} * LoadU8(&boot[13]);
  std::vector<std::byte> record(1024);
  ASSERT_EQ(dev->ReadAt(LoadLe64(&boot[48]) * clusterBytes, record).bytes, 1024u);
  uint64_t count = 0;
  ASSERT_EQ(RecordCountFromMftRecord(record, count), TaskError::kNone);

  const test::CommandResult info = test::Run({"ntfsinfo", "-i", "0", volume});
  ASSERT_EQ(info.status, 0) << info.output;
  std::smatch m;
  const std::regex allocated(R"(\$DATA \(0x80\)[\s\S]*?Allocated size:\s+(\d+))");
  ASSERT_TRUE(std::regex_search(info.output, m, allocated)) << info.output;
  EXPECT_EQ(count, std::stoull(m[1].str()) / 1024);
  EXPECT_GT(count, 16u);
}

}  // namespace
}  // namespace stow::engine

namespace stow::engine {
namespace {

TEST(ImageFiles, CreateRemoveAndFreeSpaceAgreeWithTheSystem) {
  test::TempDir dir;
  const std::string path = (dir / "sub" / "not-yet.vmg").string();
  uint64_t freeBytes = 0;
  ASSERT_EQ(platform::QueryFreeSpace(path, freeBytes), 0)
      << "a file to be created is asked through its folders";
  const test::CommandResult df = test::Run({"df", "-B1", "--output=avail", dir.Path().string()});
  ASSERT_EQ(df.status, 0) << df.output;
  const uint64_t dfBytes = std::stoull(df.output.substr(df.output.find('\n') + 1));
  // Other writers on this file system may move the figure a little between the two looks.
  EXPECT_NEAR(static_cast<double>(freeBytes), static_cast<double>(dfBytes), 64.0 * kMiB);

  const std::string image = (dir / "image.vmg").string();
  std::unique_ptr<platform::BlockDevice> file;
  ASSERT_EQ(platform::CreateRegularFile(image, file), 0);
  ASSERT_EQ(file->WriteAt(1000, Pattern(24, 1)).bytes, 24u);
  file.reset();
  uint64_t size = 0;
  ASSERT_EQ(platform::QueryFileSize(image, size), 0);
  EXPECT_EQ(size, 1024u);
  ASSERT_EQ(platform::CreateRegularFile(image, file), 0) << "creating again empties the file";
  file.reset();
  ASSERT_EQ(platform::QueryFileSize(image, size), 0);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(platform::RemoveFile(image), 0);
  EXPECT_NE(platform::RemoveFile(image), 0);
  EXPECT_NE(platform::QueryFileSize(image, size), 0);
  EXPECT_NE(platform::QueryFileSize(dir.Path().string(), size), 0) << "a folder is not an image";
}

}  // namespace
}  // namespace stow::engine
