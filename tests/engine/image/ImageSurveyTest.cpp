// The image survey against images that the real backup wrote of the fixture
// volumes: every one of them is complete; cut at any block boundary it names
// the first file record whose blocks are missing, and the restore's check
// before the format refuses it; a header whose cluster size is no NTFS size or
// disagrees with the $MFT, a first block that is not the $MFT, a damaged file
// record 0, a block left out or one too many, and a record whose run list no
// backup could send are each found at their offset.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "engine/image/ImageFormat.h"
#include "engine/image/ImageSurvey.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/transfer/TaskState.h"
#include "platform/MemoryBlockDevice.h"
#include "support/Bytes.h"
#include "support/StringTable.h"
#include "tasks/RestoreTask.h"
#include "tests/engine/RestoreTestSupport.h"
#include "tests/testlib/NtfsFixtures.h"

namespace stow::test {
namespace {

constexpr engine::ImageRetry kNoWait{1, std::chrono::milliseconds(0)};

// The first `size` bytes of an image held in memory, as a read-only file: a cut
// without a copy.
class CutImage final : public platform::BlockDevice {
 public:
  CutImage(const std::vector<std::byte>& bytes, uint64_t size) : bytes_(bytes), size_(size) {}
  const std::string& Path() const override { return path_; }
  uint64_t Size() const override { return size_; }
  uint32_t SectorSize() const override { return 512; }
  bool IsBlockDevice() const override { return false; }
  bool IsWritable() const override { return false; }
  platform::IoResult ReadAt(uint64_t offset, std::span<std::byte> out) override {
    if (offset > size_ || out.size() > size_ - offset) return {0, EIO};
    std::memcpy(out.data(), bytes_.data() + offset, out.size());
    return {out.size(), 0};
  }
  platform::IoResult WriteAt(uint64_t, std::span<const std::byte>) override { return {0, EROFS}; }
  int Flush() override { return 0; }
  int Lock() override { return 0; }
  int Unlock() override { return 0; }
  int UpdateProperties() override { return 0; }

 private:
  const std::vector<std::byte>& bytes_;
  uint64_t size_;
  std::string path_ = "cut";
};

// A block as the image's own record says, and where it stands.
struct Block {
  uint64_t offset = 0;  // of its block record
  uint64_t end = 0;     // of its data
  engine::BlockRecord record;
};

std::vector<Block> Blocks(const std::vector<std::byte>& image) {
  std::vector<Block> blocks;
  uint64_t at = engine::kImageHeaderSize;
  while (at + engine::kBlockRecordSize <= image.size()) {
    Block b;
    b.offset = at;
    b.record = engine::BlockRecord::Decode(std::span<const std::byte, engine::kBlockRecordSize>(
        image.data() + at, engine::kBlockRecordSize));
    at += engine::kBlockRecordSize + (b.record.CarriesData() ? b.record.runLength : 0);
    b.end = at;
    blocks.push_back(b);
  }
  return blocks;
}

engine::ImageSurvey Survey(const std::vector<std::byte>& image, uint64_t size = UINT64_MAX) {
  CutImage file(image, std::min<uint64_t>(size, image.size()));
  engine::ImageSurvey s;
  engine::SurveyImage(file, s, kNoWait);
  return s;
}

void WriteBytes(const fs::path& path, const std::vector<std::byte>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// The restore's check before the format, for the image at `path`.
tasks::Refusal RestoreCheck(const fs::path& path) {
  tasks::RestorePlan plan;
  plan.imagePath = path.string();
  return tasks::CheckRestoreImage(plan);
}

class ImageSurveyTest : public ::testing::Test {
 protected:
  void SetUp() override { STOW_REQUIRE_NTFS_FIXTURES(); }

  // The image that `stowline-cli backup` writes of a fixture, once per test binary.
  static const std::vector<std::byte>& ImageOf(const std::string& name) {
    static TempDir dir;
    static std::map<std::string, std::vector<std::byte>> images;
    if (auto it = images.find(name); it != images.end()) return it->second;
    std::string error;
    const NtfsFixture* fixture = GetNtfsFixture(name, &error);
    EXPECT_NE(fixture, nullptr) << error;
    const fs::path image = dir / (name + ".vmg");
    if (fixture != nullptr) {
      const CommandResult r =
          RunCli({"backup", fixture->image.string(), image.string(), "--yes", "--quiet"});
      EXPECT_EQ(r.status, 0) << name << ": " << r.output;
    }
    return images[name] = fs::exists(image) ? ReadFileBytes(image) : std::vector<std::byte>{};
  }

  // A copy of `image` with `edit` applied, written to the test's folder.
  fs::path Edited(const std::string& name, std::vector<std::byte> image,
                  const std::function<void(std::vector<std::byte>&)>& edit) {
    edit(image);
    const fs::path path = dir_ / name;
    WriteBytes(path, image);
    return path;
  }

  TempDir dir_;
};

TEST_F(ImageSurveyTest, EveryFixtureImageIsCompleteAndSpansItsWholeMft) {
  for (const std::string& name : NtfsFixtureNames()) {
    SCOPED_TRACE(name);
    const std::vector<std::byte>& image = ImageOf(name);
    ASSERT_FALSE(image.empty());
    const engine::ImageSurvey s = Survey(image);
    EXPECT_TRUE(s.ok) << s.faultText;
    EXPECT_FALSE(s.firstMissingRecord.has_value());
    ASSERT_TRUE(s.recordCount && s.lastBlockRecord && s.lastRecordWithData);
    // The survey walked the $MFT to its end: the last block is the last record
    // that the $MFT gives data.
    EXPECT_EQ(*s.lastBlockRecord, *s.lastRecordWithData);
    EXPECT_EQ(s.blocks, Blocks(image).size());
  }
}

// Cut after every block (and after the header alone): the survey names the
// record of the first block left out, at the end of the file.
TEST_F(ImageSurveyTest, EveryCutAtABlockBoundaryNamesTheFirstMissingRecord) {
  for (const char* name : {"empty", "sparse", "fragmented", "mft-extents"}) {
    SCOPED_TRACE(name);
    const std::vector<std::byte>& image = ImageOf(name);
    ASSERT_FALSE(image.empty());
    const std::vector<Block> blocks = Blocks(image);
    ASSERT_GT(blocks.size(), 2u);
    // The $MFT with extents is cut everywhere up to its last extent's blocks,
    // then at every seventh boundary: each survey reads the $MFT again.
    size_t everyCutUpTo = blocks.size();
    if (std::string(name) == "mft-extents") {
      everyCutUpTo = 0;
      for (size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i].record.recordNumber < 16) everyCutUpTo = i + 2;
      }
      // The extension record that holds the rest of the $MFT comes after record 0.
      ASSERT_GT(everyCutUpTo, 2u);
    }
    size_t cuts = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
      if (i > everyCutUpTo && i % 7 != 0 && i + 1 != blocks.size()) continue;
      const uint64_t cut = i == 0 ? engine::kImageHeaderSize : blocks[i - 1].end;
      SCOPED_TRACE(cut);
      const engine::ImageSurvey s = Survey(image, cut);
      ASSERT_FALSE(s.ok);
      EXPECT_EQ(s.faultKind, "cut-short") << s.faultText;
      EXPECT_EQ(s.faultOffset, cut);
      ASSERT_TRUE(s.firstMissingRecord.has_value()) << s.faultText;
      EXPECT_EQ(*s.firstMissingRecord, blocks[i].record.recordNumber) << s.faultText;
      EXPECT_NE(s.faultText.find("file record " + std::to_string(blocks[i].record.recordNumber)),
                std::string::npos)
          << s.faultText;
      EXPECT_NE(s.faultText.find("the image was cut short"), std::string::npos) << s.faultText;
      ++cuts;
    }
    EXPECT_GE(cuts, std::min<size_t>(blocks.size(), 10));
  }
}

// The restore's check before the format refuses every cut of the smallest
// image, with the table's text and the survey's.
TEST_F(ImageSurveyTest, TheRestoreCheckRefusesEveryCut) {
  const std::vector<std::byte>& image = ImageOf("empty");
  ASSERT_FALSE(image.empty());
  const std::string damaged = LoadText("imageDamaged");
  const std::string lead = damaged.substr(0, damaged.find('%'));
  ASSERT_FALSE(lead.empty());
  const std::vector<Block> blocks = Blocks(image);
  const fs::path path = dir_ / "cut.vmg";
  for (size_t i = 0; i < blocks.size(); ++i) {
    const uint64_t cut = i == 0 ? engine::kImageHeaderSize : blocks[i - 1].end;
    SCOPED_TRACE(cut);
    WriteBytes(path,
               std::vector<std::byte>(image.begin(), image.begin() + static_cast<ptrdiff_t>(cut)));
    const tasks::Refusal r = RestoreCheck(path);
    EXPECT_EQ(r.id, "imageDamaged");
    EXPECT_NE(r.text.find(lead), std::string::npos) << r.text;
    EXPECT_NE(r.text.find("file record " + std::to_string(blocks[i].record.recordNumber)),
              std::string::npos)
        << r.text;
  }
  WriteBytes(path, image);
  EXPECT_FALSE(RestoreCheck(path).Refused()) << RestoreCheck(path).text;
}

// Faults of the header, of the first block and of record 0, and blocks out of
// place in the middle, each reported with its offset, by the survey and by the
// restore's check.
TEST_F(ImageSurveyTest, NamesEachDisagreementWithTheMftAtItsOffset) {
  const std::vector<std::byte>& image = ImageOf("compressed");
  ASSERT_FALSE(image.empty());
  const std::vector<Block> blocks = Blocks(image);
  ASSERT_GT(blocks.size(), 6u);
  ASSERT_EQ(
      engine::ImageHeader::Decode(*reinterpret_cast<const engine::ImageHeaderBytes*>(image.data()))
          .clusterSize,
      4096u);
  auto putRecord = [](std::vector<std::byte>& bytes, uint64_t at, const engine::BlockRecord& r) {
    const engine::BlockRecordBytes encoded = r.Encode();
    std::copy(encoded.begin(), encoded.end(), bytes.begin() + static_cast<ptrdiff_t>(at));
  };
  // Data of record 0 starts after the header and its block record.
  constexpr uint64_t kRecord0 = engine::kImageHeaderSize + engine::kBlockRecordSize;
  // A block after the $MFT's that is its record's only one.
  size_t middle = 0;
  for (size_t i = 2; i + 1 < blocks.size(); ++i) {
    if (blocks[i].record.recordNumber != blocks[i + 1].record.recordNumber &&
        blocks[i].record.recordNumber != blocks[i - 1].record.recordNumber) {
      middle = i;
      break;
    }
  }
  ASSERT_NE(middle, 0u);
  // Leaves a block out and renumbers the later ones, so only the $MFT can tell.
  auto without = [&](size_t drop) {
    std::vector<std::byte> out(image.begin(),
                               image.begin() + static_cast<ptrdiff_t>(blocks[drop].offset));
    out.insert(out.end(), image.begin() + static_cast<ptrdiff_t>(blocks[drop].end), image.end());
    for (size_t i = drop + 1; i < blocks.size(); ++i) {
      engine::BlockRecord r = blocks[i].record;
      --r.sequence;
      putRecord(out, blocks[i].offset - (blocks[drop].end - blocks[drop].offset), r);
    }
    return out;
  };

  const struct {
    const char* name;
    std::function<void(std::vector<std::byte>&)> edit;
    const char* kind;
    uint64_t offset;
    const char* text;
    std::optional<uint64_t> missing;
  } cases[] = {
      {"cluster-0",
       [](auto& b) { StoreLe32(&b[24], 0); },
       "bad-cluster-size",
       24,
       "cluster size of 0 bytes",
       {}},
      {"cluster-3000",
       [](auto& b) { StoreLe32(&b[24], 3000); },
       "bad-cluster-size",
       24,
       "cluster size of 3000 bytes",
       {}},
      {"cluster-1024",
       [](auto& b) { StoreLe32(&b[24], 1024); },
       "cluster-size-mismatch",
       24,
       "has clusters of 4096 bytes",
       {}},
      {"first-relabelled",
       [&](auto& b) {
         engine::BlockRecord r = blocks[0].record;
         r.recordNumber = 5;
         putRecord(b, blocks[0].offset, r);
       },
       "first-block-not-mft",
       40,
       "the first block is run 0",
       {}},
      {"first-instance",
       [&](auto& b) {
         engine::BlockRecord r = blocks[0].record;
         r.attributeInstance = static_cast<uint16_t>(r.attributeInstance + 1);
         putRecord(b, blocks[0].offset, r);
       },
       "first-block-not-mft",
       40,
       "begins with run 0 of its $DATA",
       {}},
      {"first-moved",
       [&](auto& b) {
         // The second block first, then the first, sequence numbers in order.
         std::vector<std::byte> out(b.begin(), b.begin() + 40);
         out.insert(out.end(), image.begin() + static_cast<ptrdiff_t>(blocks[1].offset),
                    image.begin() + static_cast<ptrdiff_t>(blocks[1].end));
         out.insert(out.end(), image.begin() + static_cast<ptrdiff_t>(blocks[0].offset),
                    image.begin() + static_cast<ptrdiff_t>(blocks[0].end));
         out.insert(out.end(), image.begin() + static_cast<ptrdiff_t>(blocks[1].end), image.end());
         engine::BlockRecord first = blocks[1].record, second = blocks[0].record;
         first.sequence = 1;
         second.sequence = 2;
         putRecord(out, 40, first);
         putRecord(out, 40 + (blocks[1].end - blocks[1].offset), second);
         b = std::move(out);
       },
       "first-block-not-mft",
       40,
       "not the start of the source's $MFT",
       {}},
      {"record0-signature",
       [](auto& b) { std::memcpy(&b[kRecord0], "BAAD", 4); },
       "bad-record-0",
       kRecord0,
       "no \"FILE\" signature",
       {}},
      {"record0-fixup",
       [](auto& b) { b[kRecord0 + 510] ^= std::byte{0xFF}; },
       "bad-record-0",
       kRecord0,
       "update sequence",
       {}},
      {"record0-no-data",
       [](auto& b) {
         // The unnamed $DATA renamed to another type: the $MFT has no data.
         std::vector<std::byte> r(b.begin() + kRecord0, b.begin() + kRecord0 + 1024);
         ASSERT_TRUE(engine::ntfs::ApplyFixup(r));
         engine::ntfs::AttributeWalker walk(r);
         for (engine::ntfs::Attribute a; walk.Next(a);) {
           if (a.type == engine::ntfs::kAttrData) StoreLe32(&b[kRecord0 + a.offset], 0x70);
         }
       },
       "bad-record-0",
       kRecord0,
       "unnamed $DATA attribute is missing",
       {}},
      {"block-left-out", [&](auto& b) { b = without(middle); }, "missing-record",
       blocks[middle].offset, "are missing", blocks[middle].record.recordNumber},
      {"block-twice",
       [&](auto& b) {
         // A block repeated right after itself, the later blocks renumbered.
         const Block& m = blocks[middle];
         const uint64_t length = m.end - m.offset;
         std::vector<std::byte> copy(image.begin() + static_cast<ptrdiff_t>(m.offset),
                                     image.begin() + static_cast<ptrdiff_t>(m.end));
         b.insert(b.begin() + static_cast<ptrdiff_t>(m.end), copy.begin(), copy.end());
         engine::BlockRecord again = m.record;
         ++again.sequence;
         putRecord(b, m.end, again);
         for (size_t i = middle + 1; i < blocks.size(); ++i) {
           engine::BlockRecord r = blocks[i].record;
           ++r.sequence;
           putRecord(b, blocks[i].offset + length, r);
         }
       },
       "unexpected-block",
       blocks[middle].end,
       "next",
       {}},
      {"block-made-sparse",
       [&](auto& b) {
         // The run's data taken out and its block made sparse.
         engine::BlockRecord r = blocks[middle].record;
         r.dataLength = 0;
         putRecord(b, blocks[middle].offset, r);
         b.erase(b.begin() + static_cast<ptrdiff_t>(blocks[middle].offset + 40),
                 b.begin() + static_cast<ptrdiff_t>(blocks[middle].end));
         for (size_t i = middle + 1; i < blocks.size(); ++i) {
           putRecord(b, blocks[i].offset - (blocks[middle].end - blocks[middle].offset - 40),
                     blocks[i].record);
         }
       },
       "block-mismatch",
       blocks[middle].offset,
       "the image's $MFT gives that run as",
       {}},
      {"run-list-damaged",
       [&](auto& b) {
         // The run list of the middle block's attribute, in the $MFT that the
         // first block holds, starts with a header that names no length bytes:
         // no backup could have sent that record.
         const uint64_t at = kRecord0 + blocks[middle].record.recordNumber * 1024;
         ASSERT_LE(at + 1024, blocks[0].end);
         std::vector<std::byte> r(b.begin() + static_cast<ptrdiff_t>(at),
                                  b.begin() + static_cast<ptrdiff_t>(at + 1024));
         ASSERT_TRUE(engine::ntfs::ApplyFixup(r));
         engine::ntfs::AttributeWalker walk(r);
         for (engine::ntfs::Attribute a; walk.Next(a);) {
           if (a.instance != blocks[middle].record.attributeInstance) continue;
           const size_t list = a.offset + LoadLe16(&r[a.offset + 32]);
           ASSERT_NE(list % 512, 510u);  // not a block end the fix-up keeps elsewhere
           b[at + list] = std::byte{0x90};
         }
       },
       "bad-run-list",
       kRecord0 + blocks[middle].record.recordNumber * 1024,
       "its run list is damaged",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::byte> bytes(image);
    c.edit(bytes);
    const engine::ImageSurvey s = Survey(bytes);
    ASSERT_FALSE(s.ok);
    EXPECT_EQ(s.faultKind, c.kind) << s.faultText;
    EXPECT_EQ(s.faultOffset, c.offset) << s.faultText;
    EXPECT_EQ(s.faultText.rfind("offset " + std::to_string(c.offset) + ": ", 0), 0u) << s.faultText;
    EXPECT_NE(s.faultText.find(c.text), std::string::npos) << s.faultText;
    EXPECT_EQ(s.firstMissingRecord, c.missing) << s.faultText;
    // The restore's check says the same (a header without a usable cluster
    // size is refused before it, by the rules of CheckRestore).
    const fs::path path = dir_ / (std::string(c.name) + ".vmg");
    WriteBytes(path, bytes);
    const tasks::Refusal r = RestoreCheck(path);
    EXPECT_EQ(r.id, "imageDamaged");
    EXPECT_NE(r.text.find(s.faultText), std::string::npos) << r.text;
  }
}

}  // namespace
}  // namespace stow::test
