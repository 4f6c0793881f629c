// The checksum file beside an image: how the builder cuts an image into
// stretches (as the image reader hands them out), the file's own layout and
// its parser on damaged input, and a whole image read back against it with
// every kind of byte changed.
#include "engine/image/ImageChecksums.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "engine/image/ImageFormat.h"
#include "platform/MemoryBlockDevice.h"
#include "support/Bytes.h"
#include "tests/testlib/TestUtil.h"

namespace stow::engine {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

struct Block {
  uint64_t record;
  uint64_t runLength;
  bool data;
};

// An image of `blocks` with patterned data, and the checksums the builder made
// while it was "written" in the pieces a ring would deliver (`piece` bytes).
// In the background the builder hashes beside the caller, and each piece's
// buffer is reused, as a ring slot is, once the builder has settled: scribbled
// over at once, so that bytes hashed after Settle() returned would show.
struct BuiltImage {
  std::vector<std::byte> bytes;
  ImageChecksums sums;
  std::vector<uint64_t> recordOffsets;
};

BuiltImage Build(const std::vector<Block>& blocks, uint64_t piece = 4 * kMiB,
                 bool background = false) {
  BuiltImage out;
  ChecksumBuilder builder;
  if (background) builder.HashInBackground();
  std::vector<std::byte> chunk;
  ImageHeader header;
  header.clusterSize = 4096;
  const ImageHeaderBytes hb = header.Encode();
  out.bytes.insert(out.bytes.end(), hb.begin(), hb.end());
  builder.Header(hb);
  uint64_t sequence = 1;
  for (const Block& b : blocks) {
    BlockRecord r;
    r.recordNumber = b.record;
    r.runLength = b.runLength;
    r.sequence = sequence++;
    r.dataLength = b.data ? std::min<uint64_t>(b.runLength, 4 * kMiB) : 0;
    const BlockRecordBytes rb = r.Encode();
    out.recordOffsets.push_back(out.bytes.size());
    builder.Record(out.bytes.size(), rb, b.runLength, b.data);
    out.bytes.insert(out.bytes.end(), rb.begin(), rb.end());
    if (!b.data) continue;
    for (uint64_t done = 0; done < b.runLength;) {
      const uint64_t take = std::min(piece, b.runLength - done);
      chunk.resize(take);
      for (uint64_t i = 0; i < take; ++i) {
        chunk[i] = static_cast<std::byte>(((done + i) * 7 + b.record * 13) & 0xFF);
      }
      builder.Data(out.bytes.size(), chunk);
      out.bytes.insert(out.bytes.end(), chunk.begin(), chunk.end());
      if (background) {
        builder.Settle();
        std::fill(chunk.begin(), chunk.end(), std::byte{0xEE});
      }
      done += take;
    }
  }
  EXPECT_FALSE(builder.Broken());
  out.sums = builder.Finish();
  return out;
}

const std::vector<Block> kBlocks = {
    {0, 64 * 1024, true},     // the $MFT
    {5, 10 * kMiB, true},     // a long run: three stretches
    {9, 1 * kMiB, false},     // sparse: a record alone
    {12, 0, true},            // a run of length 0: no chunk, but bytes of the image
    {30, 8 * kMiB, true},     // exactly two chunks
    {31, 4096, true},
};

TEST(ImageChecksums, StretchesFollowTheReadersCutWhateverPiecesTheWriterGot) {
  const BuiltImage whole = Build(kBlocks);
  std::vector<std::pair<uint64_t, uint64_t>> cut;
  for (const ChecksumEntry& e : whole.sums.entries) cut.emplace_back(e.offset, e.length);
  const uint64_t r1 = whole.recordOffsets[1];
  const uint64_t r4 = whole.recordOffsets[4];
  const std::vector<std::pair<uint64_t, uint64_t>> expected = {
      {0, 40},
      {40, 40 + 64 * 1024},
      {r1, 40 + 4 * kMiB},
      {r1 + 40 + 4 * kMiB, 4 * kMiB},
      {r1 + 40 + 8 * kMiB, 2 * kMiB},
      {whole.recordOffsets[2], 40},
      {whole.recordOffsets[3], 40},
      {r4, 40 + 4 * kMiB},
      {r4 + 40 + 4 * kMiB, 4 * kMiB},
      {whole.recordOffsets[5], 40 + 4096},
  };
  EXPECT_EQ(cut, expected);
  EXPECT_EQ(whole.sums.imageSize, whole.bytes.size());
  EXPECT_EQ(whole.sums.wholeHash, Xxh3(whole.bytes));
  // Delivered in odd pieces, the image gets the same checksums.
  const BuiltImage odd = Build(kBlocks, 1536 * 1024 + 512);
  EXPECT_EQ(odd.bytes, whole.bytes);
  EXPECT_EQ(odd.sums.entries, whole.sums.entries);
}

TEST(ImageChecksums, HashingInTheBackgroundGivesTheSameChecksums) {
  const BuiltImage here = Build(kBlocks);
  // Whole slots, odd pieces, and pieces too small to wake the hashing thread
  // (hashed by the caller when it settles).
  for (const uint64_t piece :
       std::initializer_list<uint64_t>{4 * kMiB, 1536 * 1024 + 512, 100 * 1024, 4096}) {
    const BuiltImage there = Build(kBlocks, piece, true);
    EXPECT_EQ(there.bytes, here.bytes) << piece;
    EXPECT_EQ(there.sums.entries, here.sums.entries) << piece;
    EXPECT_EQ(there.sums.wholeHash, here.sums.wholeHash) << piece;
    EXPECT_EQ(there.sums.Encode(), here.sums.Encode()) << piece;
  }
  // A builder given up with bytes still queued (a backup that failed) ends
  // without hashing them and without waiting for anything.
  const ImageHeaderBytes hb = ImageHeader{}.Encode();
  const BlockRecordBytes rb = BlockRecord{}.Encode();
  std::vector<std::byte> data(4 * kMiB, std::byte{1});
  for (int i = 0; i < 20; ++i) {
    ChecksumBuilder b;
    b.HashInBackground();
    b.Header(hb);
    b.Record(40, rb, 2 * data.size(), true);
    b.Data(80, data);
    b.Data(80 + data.size(), data);
  }
  // Out of step is still found at once, whichever thread hashes.
  ChecksumBuilder b;
  b.HashInBackground();
  b.Header(hb);
  b.Record(40, rb, data.size(), true);
  b.Data(81, data);
  EXPECT_TRUE(b.Broken());
  b.Finish();
  EXPECT_TRUE(b.Broken());
}

TEST(ImageChecksums, BuilderRefusesWritesOutOfStep) {
  const ImageHeaderBytes hb = ImageHeader{}.Encode();
  const BlockRecordBytes rb = BlockRecord{}.Encode();
  std::vector<std::byte> data(100);
  {
    ChecksumBuilder b;  // a record before the header
    b.Record(0, rb, 100, true);
    EXPECT_TRUE(b.Broken());
  }
  {
    ChecksumBuilder b;  // a gap
    b.Header(hb);
    b.Record(41, rb, 100, true);
    EXPECT_TRUE(b.Broken());
  }
  {
    ChecksumBuilder b;  // more data than the run holds
    b.Header(hb);
    b.Record(40, rb, 50, true);
    b.Data(80, data);
    EXPECT_TRUE(b.Broken());
  }
  {
    ChecksumBuilder b;  // a new record while the run is incomplete, and an unfinished run
    b.Header(hb);
    b.Record(40, rb, 200, true);
    b.Data(80, data);
    b.Record(180, rb, 0, false);
    EXPECT_TRUE(b.Broken());
    ChecksumBuilder c;
    c.Header(hb);
    c.Record(40, rb, 200, true);
    c.Data(80, data);
    c.Finish();
    EXPECT_TRUE(c.Broken());
  }
  {
    ChecksumBuilder b;  // data for a sparse block
    b.Header(hb);
    b.Record(40, rb, 4096, false);
    b.Data(80, data);
    EXPECT_TRUE(b.Broken());
  }
}

TEST(ChecksumFile, RoundTripsAndRejectsEveryDamagedByte) {
  const BuiltImage image = Build(kBlocks);
  const std::vector<std::byte> file = image.sums.Encode();
  ASSERT_EQ(file.size(), kChecksumFileHeaderSize + image.sums.entries.size() * kChecksumEntrySize +
                             kChecksumTrailerSize);
  ImageChecksums parsed;
  std::string why;
  ASSERT_EQ(ParseChecksumFile(file, parsed, why), ChecksumFileStatus::kOk) << why;
  EXPECT_EQ(parsed.entries, image.sums.entries);
  EXPECT_EQ(parsed.imageSize, image.sums.imageSize);
  EXPECT_EQ(parsed.wholeHash, image.sums.wholeHash);
  for (size_t i = 0; i < file.size(); ++i) {
    std::vector<std::byte> bad = file;
    bad[i] ^= std::byte{0x20};
    EXPECT_NE(ParseChecksumFile(bad, parsed, why), ChecksumFileStatus::kOk) << "byte " << i;
    EXPECT_FALSE(why.empty());
  }
  for (size_t size : {size_t{0}, size_t{71}, file.size() - 1, file.size() - 24}) {
    EXPECT_NE(ParseChecksumFile(std::span(file).first(size), parsed, why), ChecksumFileStatus::kOk)
        << "cut to " << size;
  }
}

// A checksum file whose own check holds but whose fields lie: the parser
// judges the fields, not the trailer.
TEST(ChecksumFile, FieldsThatLieAreRefusedEvenWithAValidTrailer) {
  const BuiltImage image = Build(kBlocks);
  auto reseal = [](ImageChecksums s) { return s.Encode(); };
  ImageChecksums parsed;
  std::string why;
  {
    ImageChecksums s = image.sums;
    s.version = 2;
    EXPECT_EQ(ParseChecksumFile(reseal(s), parsed, why), ChecksumFileStatus::kNewerVersion);
  }
  {
    ImageChecksums s = image.sums;
    s.entries[2].offset += 1;
    EXPECT_EQ(ParseChecksumFile(reseal(s), parsed, why), ChecksumFileStatus::kBadStretches);
  }
  {
    ImageChecksums s = image.sums;
    s.entries[1].length = UINT64_MAX - 10;  // would overflow the running end
    EXPECT_EQ(ParseChecksumFile(reseal(s), parsed, why), ChecksumFileStatus::kBadStretches);
  }
  {
    ImageChecksums s = image.sums;
    s.imageSize += 512;  // the stretches end before the image does
    EXPECT_EQ(ParseChecksumFile(reseal(s), parsed, why), ChecksumFileStatus::kBadStretches);
  }
  {
    ImageChecksums s = image.sums;
    s.entries.clear();
    EXPECT_EQ(ParseChecksumFile(reseal(s), parsed, why), ChecksumFileStatus::kBadStretches);
  }
  {
    std::vector<std::byte> bytes = image.sums.Encode();
    StoreLe64(&bytes[32], 1ull << 60);  // a count no file could hold
    EXPECT_EQ(ParseChecksumFile(bytes, parsed, why), ChecksumFileStatus::kBadSize);
  }
}

class ImageOnDisk : public ::testing::Test {
 protected:
  void Write(const BuiltImage& image, bool withSums = true) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(image.bytes.data()),
               static_cast<std::streamsize>(image.bytes.size()));
    if (!withSums) {
      std::filesystem::remove(ChecksumPathFor(path_));
      return;
    }
    const std::vector<std::byte> sums = image.sums.Encode();
    std::ofstream(ChecksumPathFor(path_), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(sums.data()),
               static_cast<std::streamsize>(sums.size()));
  }
  ImageVerification Verify() {
    std::unique_ptr<platform::BlockDevice> file;
    EXPECT_EQ(platform::OpenBlockDevice(path_, true, file), 0);
    return VerifyImageContents(*file, path_);
  }

  test::TempDir dir_;
  std::string path_ = (dir_ / "image.vmg").string();
};

TEST_F(ImageOnDisk, AnUntouchedImageVerifiesAndProgressReachesTheEnd) {
  const BuiltImage image = Build(kBlocks);
  Write(image);
  std::unique_ptr<platform::BlockDevice> file;
  ASSERT_EQ(platform::OpenBlockDevice(path_, true, file), 0);
  uint64_t last = 0;
  const ImageVerification v = VerifyImageContents(*file, path_, [&](uint64_t done, uint64_t total) {
    EXPECT_GE(done, last);
    EXPECT_EQ(total, image.bytes.size());
    last = done;
    return true;
  });
  EXPECT_TRUE(v.checksumsFound);
  EXPECT_TRUE(v.ok) << v.faultText;
  EXPECT_EQ(last, image.bytes.size());
}

TEST_F(ImageOnDisk, WithoutAChecksumFileContentsAreNotClaimedGood) {
  Write(Build(kBlocks), false);
  const ImageVerification v = Verify();
  EXPECT_FALSE(v.checksumsFound);
  EXPECT_FALSE(v.ok);
}

// One flipped byte in the header, in each block record and in the data of
// every stretch: the first bad stretch is named by its offset.
TEST_F(ImageOnDisk, AFlippedByteAnywhereNamesTheStretchThatHoldsIt) {
  const BuiltImage image = Build(kBlocks);
  for (const ChecksumEntry& e : image.sums.entries) {
    for (uint64_t at : {e.offset, e.offset + e.length / 2, e.offset + e.length - 1}) {
      BuiltImage bad = image;
      bad.bytes[at] ^= std::byte{0x01};
      Write(bad);
      const ImageVerification v = Verify();
      EXPECT_FALSE(v.ok) << "byte " << at;
      EXPECT_EQ(v.faultOffset, e.offset) << "byte " << at << ": " << v.faultText;
      EXPECT_NE(v.faultText.find("offset " + std::to_string(e.offset)), std::string::npos)
          << v.faultText;
    }
  }
}

TEST_F(ImageOnDisk, ImagesCutOrGrownOrPairedWithAnotherChecksumFileFail) {
  const BuiltImage image = Build(kBlocks);
  for (uint64_t offset : image.recordOffsets) {
    BuiltImage cut = image;
    cut.bytes.resize(offset);  // a clean cut at a block boundary
    Write(cut);
    std::vector<std::byte> sums = image.sums.Encode();
    std::ofstream(ChecksumPathFor(path_), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(sums.data()), static_cast<std::streamsize>(sums.size()));
    const ImageVerification v = Verify();
    EXPECT_FALSE(v.ok) << "cut at " << offset;
    EXPECT_NE(v.faultText.find("cut short"), std::string::npos) << v.faultText;
  }
  {
    BuiltImage grown = image;
    const BlockRecordBytes extra = BlockRecord{99, 0, 7, 0, 0, 0}.Encode();
    grown.bytes.insert(grown.bytes.end(), extra.begin(), extra.end());
    Write(grown);
    std::vector<std::byte> sums = image.sums.Encode();
    std::ofstream(ChecksumPathFor(path_), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(sums.data()), static_cast<std::streamsize>(sums.size()));
    EXPECT_FALSE(Verify().ok);
  }
  {
    // The checksum file of another image (one block fewer).
    Write(image);
    std::vector<Block> fewer(kBlocks.begin(), kBlocks.end() - 1);
    const std::vector<std::byte> other = Build(fewer).sums.Encode();
    std::ofstream(ChecksumPathFor(path_), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(other.data()), static_cast<std::streamsize>(other.size()));
    EXPECT_FALSE(Verify().ok);
  }
}

TEST_F(ImageOnDisk, ADamagedChecksumFileIsReportedAsSuch) {
  const BuiltImage image = Build(kBlocks);
  Write(image);
  std::vector<std::byte> sums = image.sums.Encode();
  sums[kChecksumFileHeaderSize + 5] ^= std::byte{0x80};
  std::ofstream(ChecksumPathFor(path_), std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(sums.data()), static_cast<std::streamsize>(sums.size()));
  const ImageVerification v = Verify();
  EXPECT_TRUE(v.checksumsFound);
  EXPECT_FALSE(v.ok);
  EXPECT_NE(v.faultText.find("checksum file is damaged"), std::string::npos) << v.faultText;
}

}  // namespace
}  // namespace stow::engine
