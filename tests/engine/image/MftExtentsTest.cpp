// A $MFT that continues in extension records (record 0 carries an attribute
// list): restores and copies place it in one run held by record 0 alone, free
// the source's extension records, and refuse a stream whose extents are
// missing or damaged before the destination is touched.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

#include "engine/core/TaskError.h"
#include "engine/disk/Disk.h"
#include "engine/image/ImageFormat.h"
#include "engine/image/MftExtents.h"
#include "engine/transfer/TaskState.h"
#include "platform/BlockDevice.h"
#include "platform/VolumeId.h"
#include "support/Bytes.h"
#include "tests/engine/RestoreTestSupport.h"
#include "tests/testlib/NtfsFixtures.h"
#include "tests/testlib/TaskErrorPrint.h"
#include "tests/testlib/TreeCompare.h"

namespace stow::test {
namespace {

using engine::TaskError;

#define STOW_REQUIRE_MFT_EXTENT_TOOLS()                                                    \
  STOW_REQUIRE(std::vector<std::string>(                                                   \
                   {"mkntfs", "ntfs-3g", "ntfsinfo", "ntfsfix", "ntfscat", "ntfsresize"}), \
               false, true)

const NtfsFixture& Fixture() {
  std::string error;
  const NtfsFixture* fixture = GetNtfsFixture("mft-extents", &error);
  if (fixture == nullptr) throw std::runtime_error(error);
  return *fixture;
}

std::string Record0Dump(const std::string& volume) {
  return Run({"ntfsinfo", "-v", "-i", "0", volume}).output;
}

// The records, other than 0, that `ntfsinfo -i 0` shows attributes of $MFT in;
// with `type` ("$DATA") only those holding that type.
std::set<uint64_t> ExtensionRecords(const std::string& dump, const std::string& type = "") {
  static const std::regex line(R"(Dumping attribute (\$\w+) \(0x[0-9a-f]+\) from mft record (\d+))");
  std::set<uint64_t> records;
  for (std::sregex_iterator it(dump.begin(), dump.end(), line), end; it != end; ++it) {
    const uint64_t n = std::stoull((*it)[2]);
    if (n != 0 && (type.empty() || (*it)[1] == type)) records.insert(n);
  }
  return records;
}

std::string MftData(const std::string& volume) {
  return Run({"ntfscat", "-i", "0", volume}).output;
}

// The engine's restore with its error detail.
engine::TaskError Restore(const fs::path& image, const fs::path& destination,
                          std::string* detail = nullptr) {
  engine::TaskState state;
  if (state.StartRestore(image.string(), platform::VolumeId(destination.string())) !=
      engine::kStartOk) {
    ADD_FAILURE() << "the restore did not start";
    return engine::TaskError::kUnknown;
  }
  state.WaitForWorkers();
  if (detail) *detail = state.ErrorDetail();
  return state.ErrorCode();
}

engine::TaskError CheckImage(const fs::path& image, std::string& detail) {
  std::unique_ptr<platform::BlockDevice> file;
  if (platform::OpenBlockDevice(image.string(), true, file) != 0) {
    ADD_FAILURE() << "cannot open " << image;
    return engine::TaskError::kUnknown;
  }
  return engine::CheckImageMft(*file, detail);
}

engine::TaskError CheckSource(const fs::path& volume, std::string& detail) {
  engine::CDisk disk;
  if (disk.InitDisk(platform::VolumeId(volume.string()), true) != engine::DiskResult::kOk) {
    ADD_FAILURE() << "cannot open " << volume;
    return engine::TaskError::kUnknown;
  }
  return engine::CheckSourceMft(disk, detail);
}

// Record 0 alone holds the destination's $MFT, which holds every record the
// source's held; the source's extension records are no longer extensions.
void ExpectMftInRecordZero(const std::string& source, const std::string& destination) {
  const std::string dump = Record0Dump(destination);
  EXPECT_EQ(dump.find("$ATTRIBUTE_LIST"), std::string::npos) << dump;
  EXPECT_TRUE(ExtensionRecords(dump).empty()) << dump;
  EXPECT_NE(dump.find("Dumping attribute $DATA (0x80) from mft record 0"), std::string::npos);
  const std::string before = MftData(source);
  const std::string after = MftData(destination);
  ASSERT_GT(before.size(), 1000u * 1024);
  EXPECT_EQ(after.size(), before.size());
  for (uint64_t n : ExtensionRecords(Record0Dump(source))) {
    ASSERT_LT((n + 1) * 1024, after.size());
    const std::string base = after.substr(n * 1024 + 32, 8);
    EXPECT_EQ(base, std::string(8, '\0')) << "record " << n << " still names record 0 as its base";
  }
  EXPECT_EQ(IndependentCheck(destination), "");
  EXPECT_EQ(MetadataAgreementCheck(destination), "");
  const auto differences = CompareNtfsVolumes(source, destination);
  EXPECT_TRUE(differences.empty()) << DifferencesText(differences);
}

TEST(MftExtents, TheFixtureContinuesItsMftInAnExtensionRecord) {
  STOW_REQUIRE_MFT_EXTENT_TOOLS();
  const NtfsFixture& fixture = Fixture();
  const std::string dump = Record0Dump(fixture.image.string());
  EXPECT_NE(dump.find("$ATTRIBUTE_LIST"), std::string::npos) << dump;
  EXPECT_FALSE(ExtensionRecords(dump, "$DATA").empty()) << dump;
  std::string detail;
  EXPECT_EQ(CheckSource(fixture.image, detail), TaskError::kNone) << detail;
}

TEST(MftExtents, RestoresOntoEverySizeAndCopiesWithTheMftInOneRecord) {
  STOW_REQUIRE_MFT_EXTENT_TOOLS();
  const NtfsFixture& fixture = Fixture();
  TempDir dir;
  const fs::path image = dir / "extents.stow";
  ASSERT_EQ(BackupVolume(fixture.image, image), TaskError::kSuccess);
  std::string detail;
  EXPECT_EQ(CheckImage(image, detail), TaskError::kNone) << detail;

  const uint64_t sourceMiB = fs::file_size(fixture.image) >> 20;
  for (uint64_t mib : {sourceMiB, uint64_t{32}, sourceMiB - 1}) {
    SCOPED_TRACE(std::to_string(mib) + " MiB");
    const fs::path dest = dir / ("restored-" + std::to_string(mib) + ".img");
    ASSERT_TRUE(MakeNtfsVolume(dest, mib, fixture.clusterSize));
    ASSERT_EQ(Restore(image, dest, &detail), TaskError::kSuccess) << detail;
    ExpectMftInRecordZero(fixture.image.string(), dest.string());
    fs::remove(dest);
  }
  SCOPED_TRACE("copy");
  const fs::path copy = dir / "copy.img";
  ASSERT_TRUE(MakeNtfsVolume(copy, sourceMiB, fixture.clusterSize));
  ASSERT_EQ(CopyVolume(fixture.image, copy), TaskError::kSuccess);
  ExpectMftInRecordZero(fixture.image.string(), copy.string());
}

// Rewrites an image, leaving out every block of `record` and numbering the
// others afresh: a well-formed image without that record's runs.
void DropBlocksOf(const fs::path& from, const fs::path& to, uint64_t record) {
  std::vector<std::byte> bytes = ReadFileBytes(from);
  uint64_t sequence = 1;
  std::ofstream out(to, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), engine::kImageHeaderSize);
  for (uint64_t at = engine::kImageHeaderSize; at + engine::kBlockRecordSize <= bytes.size();) {
    const auto block = engine::BlockRecord::Decode(
        std::span<const std::byte, engine::kBlockRecordSize>(bytes.data() + at,
                                                             engine::kBlockRecordSize));
    const uint64_t length = engine::kBlockRecordSize + (block.CarriesData() ? block.runLength : 0);
    if (block.recordNumber != record) {
      StoreLe64(bytes.data() + at + engine::kRecordSequenceOffset, sequence++);
      out.write(reinterpret_cast<const char*>(bytes.data() + at), static_cast<long>(length));
    }
    at += length;
  }
}

TEST(MftExtents, AnImageWhoseExtentsAreMissingOrUnnamedIsRefused) {
  STOW_REQUIRE_MFT_EXTENT_TOOLS();
  const NtfsFixture& fixture = Fixture();
  const std::set<uint64_t> holders = ExtensionRecords(Record0Dump(fixture.image.string()), "$DATA");
  ASSERT_FALSE(holders.empty());
  const uint64_t holder = *holders.begin();
  TempDir dir;
  const fs::path image = dir / "extents.stow";
  // Made by the command, so that the header holds the cluster size a restore formats with.
  const CommandResult backup =
      RunCli({"backup", fixture.image.string(), image.string(), "--yes", "--quiet"});
  ASSERT_EQ(backup.status, 0) << backup.output;

  // The extension record's blocks are gone.
  const fs::path missing = dir / "missing.stow";
  DropBlocksOf(image, missing, holder);
  // The extension record no longer names record 0 as its base: its extent is
  // an ordinary attribute now, and the $MFT misses it. The first block's data
  // begins 80 bytes into the file and holds the record at holder x 1,024.
  const fs::path unnamed = dir / "unnamed.stow";
  fs::copy_file(image, unnamed);
  {
    std::fstream f(unnamed, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<long>(engine::kImageHeaderSize + engine::kBlockRecordSize +
                              holder * 1024 + 32));
    const char zeros[8] = {};
    f.write(zeros, sizeof zeros);
  }
  for (const fs::path& damaged : {missing, unnamed}) {
    SCOPED_TRACE(damaged.filename().string());
    std::string detail;
    EXPECT_EQ(CheckImage(damaged, detail), TaskError::kSourceMftUnsupported);
    EXPECT_NE(detail.find("$MFT arrived with"), std::string::npos) << detail;
    // The writer, which meets the fault only at the end, refuses as well.
    const fs::path dest = dir / "dest.img";
    ASSERT_TRUE(MakeNtfsVolume(dest, fs::file_size(fixture.image) >> 20, fixture.clusterSize));
    EXPECT_EQ(Restore(damaged, dest, &detail), TaskError::kSourceMftUnsupported);
    EXPECT_NE(detail.find("extension records"), std::string::npos) << detail;
    // The command refuses before it formats.
    ASSERT_TRUE(MakeNtfsVolume(dest, fs::file_size(fixture.image) >> 20, fixture.clusterSize));
    const std::vector<std::byte> before = ReadFileBytes(dest);
    const CommandResult r =
        RunCli({"restore", damaged.string(), dest.string(), "--yes", "--quiet", "--no-repair"});
    EXPECT_EQ(r.status, 1) << r.output;
    // The image's survey names the record whose blocks are gone.
    const std::string expected =
        damaged == missing ? "the blocks of file record " + std::to_string(holder) + " are missing"
                           : "$MFT arrived with";
    EXPECT_NE(r.output.find(expected), std::string::npos) << r.output;
    EXPECT_TRUE(ReadFileBytes(dest) == before) << "the destination was written";
    fs::remove(dest);
  }
}

TEST(MftExtents, ASourceWithADamagedAttributeListIsRefusedBeforeTheDestinationIsWritten) {
  STOW_REQUIRE_MFT_EXTENT_TOOLS();
  const NtfsFixture& fixture = Fixture();
  const std::string dump = Record0Dump(fixture.image.string());
  // ntfs-3g keeps a long attribute list of $MFT outside record 0: its first run.
  static const std::regex list(
      R"(\$ATTRIBUTE_LIST[\s\S]*?Resident:\s+No[\s\S]*?Runlist:[^\n]*\n\s+0x0\s+0x([0-9a-f]+)\s+)");
  std::smatch match;
  if (!std::regex_search(dump, match, list)) GTEST_SKIP() << "the attribute list is resident";
  const uint64_t cluster = std::stoull(match[1], nullptr, 16);
  TempDir dir;
  const fs::path source = dir / "source.img";
  ASSERT_TRUE(CopyNtfsFixture(fixture, source));
  {
    std::fstream f(source, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<long>(cluster * fixture.clusterSize));
    const std::string garbage(fixture.clusterSize, '\x5a');
    f.write(garbage.data(), static_cast<long>(garbage.size()));
  }
  std::string detail;
  EXPECT_EQ(CheckSource(source, detail), engine::TaskError::kSourceReadFailed);
  EXPECT_NE(detail.find("attribute list"), std::string::npos) << detail;

  const fs::path dest = dir / "dest.img";
  ASSERT_TRUE(MakeNtfsVolume(dest, fs::file_size(fixture.image) >> 20, fixture.clusterSize));
  const std::vector<std::byte> before = ReadFileBytes(dest);
  EXPECT_EQ(CopyVolume(source, dest), engine::TaskError::kSourceReadFailed);
  EXPECT_TRUE(ReadFileBytes(dest) == before) << "the destination was written";
  EXPECT_EQ(BackupVolume(source, dir / "never.stow"), engine::TaskError::kSourceReadFailed);
}

}  // namespace
}  // namespace stow::test
