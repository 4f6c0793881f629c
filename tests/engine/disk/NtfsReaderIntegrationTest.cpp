// The MFT reader and `stowline-cli info` on real volumes made by mkntfs and filled
// through ntfs-3g, checked against ntfsinfo: the volume geometry, the run lists of
// fragmented, sparse and compressed files, and the entry list of a volume whose
// MFT spans several cache windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

#include "engine/disk/Disk.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/RunList.h"
#include "platform/VolumeId.h"
#include "tests/testlib/NtfsFixtures.h"
#include "tests/testlib/TestUtil.h"

namespace stow::test {
namespace {

using engine::CDisk;
using engine::FileEntry;

// Leading unsigned number of a text ("5391360 (0x524400)"); -1 when there is none.
int64_t LeadingNumber(const std::string& text) {
  std::smatch m;
  static const std::regex number(R"(^\s*(\d+))");
  return std::regex_search(text, m, number) ? std::stoll(m[1]) : -1;
}

// "Key: value" lines of ntfsinfo output, keys without surrounding blanks.
std::map<std::string, std::string> Fields(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const size_t first = line.find_first_not_of(" \t");
    out.emplace(line.substr(first, colon - first), line.substr(colon + 1));
  }
  return out;
}

int64_t JsonNumber(const std::string& json, const std::string& key) {
  std::smatch m;
  const std::regex pattern("\"" + key + R"("\s*:\s*(\d+))");
  return std::regex_search(json, m, pattern) ? std::stoll(m[1]) : -1;
}

// The attributes of one ntfsinfo inode dump: a type name and its lines.
std::vector<std::pair<std::string, std::string>> AttributeBlocks(const std::string& dump) {
  std::vector<std::pair<std::string, std::string>> blocks;
  const std::string marker = "Dumping attribute ";
  size_t at = dump.find(marker);
  while (at != std::string::npos) {
    const size_t next = dump.find(marker, at + marker.size());
    const std::string block = dump.substr(at, next == std::string::npos ? next : next - at);
    blocks.emplace_back(block.substr(marker.size(), block.find(' ', marker.size()) - marker.size()),
                        block);
    at = next;
  }
  return blocks;
}

// --- `stowline-cli info` against ntfsinfo -m ----------------------------------------

TEST(NtfsReaderIntegration, InfoAgreesWithNtfsinfoOnEveryFixtureVolume) {
  STOW_REQUIRE_NTFS_FIXTURES();
  std::string error;
  const auto fixtures = AllNtfsFixtures(&error);
  ASSERT_FALSE(fixtures.empty()) << error;
  for (const NtfsFixture* fixture : fixtures) {
    SCOPED_TRACE(fixture->name);
    const std::string image = fixture->image.string();
    const CommandResult info = RunCli({"info", "--json", image});
    ASSERT_EQ(info.status, 0) << info.output;
    const CommandResult volume = test::Run({"ntfsinfo", "-m", image});
    ASSERT_EQ(volume.status, 0) << volume.output;
    auto fields = Fields(volume.output);
    const int64_t clusters = LeadingNumber(fields["Volume Size in Clusters"]);
    EXPECT_EQ(JsonNumber(info.output, "cluster_size"), LeadingNumber(fields["Cluster Size"]));
    EXPECT_EQ(JsonNumber(info.output, "cluster_size"), fixture->clusterSize);
    EXPECT_EQ(JsonNumber(info.output, "volume_clusters"), clusters);
    EXPECT_EQ(JsonNumber(info.output, "volume_size") / JsonNumber(info.output, "cluster_size"),
              clusters);
    EXPECT_EQ(JsonNumber(info.output, "mft_cluster"),
              LeadingNumber(fields["LCN of Data Attribute for FILE_MFT"]));
    EXPECT_EQ(JsonNumber(info.output, "mftmirr_cluster"),
              LeadingNumber(fields["LCN of Data Attribute for File_MFTMirr"]));
    EXPECT_EQ(JsonNumber(info.output, "file_record_size"),
              LeadingNumber(fields["MFT Record Size"]));

    // Record count = the $MFT's data size / record size, with the size from ntfsinfo.
    const CommandResult mft = test::Run({"ntfsinfo", "-i", "0", image});
    ASSERT_EQ(mft.status, 0) << mft.output;
    int64_t dataSize = -1;
    for (const auto& [type, block] : AttributeBlocks(mft.output)) {
      // The first extent has the sizes; further ones (in extension records) do not.
      if (type == "$DATA" && dataSize <= 0) dataSize = LeadingNumber(Fields(block)["Data size"]);
    }
    ASSERT_GT(dataSize, 0);
    EXPECT_EQ(JsonNumber(info.output, "record_count"), dataSize / 1024);
    EXPECT_EQ(JsonNumber(info.output, "records_visited"), dataSize / 1024);
    EXPECT_GT(JsonNumber(info.output, "used_sectors"), 0);
  }
}

TEST(NtfsReaderIntegration, InfoReadsALoopDeviceAsItReadsTheImage) {
  STOW_REQUIRE_NTFS_FIXTURES();
  STOW_REQUIRE({"losetup"}, true, false);
  std::string error;
  const NtfsFixture* fixture = GetNtfsFixture("fragmented", &error);
  ASSERT_NE(fixture, nullptr) << error;
  const CommandResult fromImage = RunCli({"info", "--json", fixture->image.string()});
  ASSERT_EQ(fromImage.status, 0) << fromImage.output;
  LoopDevice loop(fixture->image, false);
  ASSERT_TRUE(loop.Ok());
  const CommandResult fromDevice = RunCli({"info", "--json", loop.Device()});
  ASSERT_EQ(fromDevice.status, 0) << fromDevice.output;
  for (const char* key : {"cluster_size", "volume_size", "mft_cluster", "mftmirr_cluster",
                          "record_count", "records_visited", "entries", "used_sectors"}) {
    EXPECT_EQ(JsonNumber(fromDevice.output, key), JsonNumber(fromImage.output, key)) << key;
  }
}

TEST(NtfsReaderIntegration, InfoFailsWithOneLineOnBadInput) {
  STOW_REQUIRE({"mkntfs"}, false, false);
  TempDir dir;
  const CommandResult missing = RunCli({"info", (dir / "absent.img").string()});
  EXPECT_NE(missing.status, 0);
  EXPECT_EQ(std::count(missing.output.begin(), missing.output.end(), '\n'), 1) << missing.output;
  EXPECT_NE(missing.output.find("cannot open"), std::string::npos);

  MakeSparseFile(dir / "zero.img", 1 << 20);
  const CommandResult zero = RunCli({"info", (dir / "zero.img").string()});
  EXPECT_NE(zero.status, 0);
  EXPECT_EQ(std::count(zero.output.begin(), zero.output.end(), '\n'), 1) << zero.output;
  EXPECT_NE(zero.output.find("not an NTFS volume"), std::string::npos);

  // mkntfs with 4,096-byte sectors: refused with the reason.
  const fs::path bigSectors = dir / "4k-sectors.img";
  MakeSparseFile(bigSectors, 16 << 20);
  ASSERT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", "--sector-size", "4096",
                       bigSectors.string()})
                .status,
            0);
  const CommandResult sectors = RunCli({"info", bigSectors.string()});
  EXPECT_NE(sectors.status, 0);
  EXPECT_NE(sectors.output.find("only 512-byte sectors"), std::string::npos) << sectors.output;

  // The same volume with 512-byte sectors but 4,096-byte file records (byte 64 = 0xF4).
  const fs::path bigRecords = dir / "4k-records.img";
  MakeSparseFile(bigRecords, 16 << 20);
  ASSERT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", bigRecords.string()}).status, 0);
  ASSERT_EQ(Shell("printf '\\364' | dd of=" + Quote(bigRecords.string()) +
                  " bs=1 seek=64 conv=notrunc status=none")
                .status,
            0);
  const CommandResult records = RunCli({"info", bigRecords.string()});
  EXPECT_NE(records.status, 0);
  EXPECT_EQ(std::count(records.output.begin(), records.output.end(), '\n'), 1) << records.output;
  EXPECT_NE(records.output.find("4096 bytes"), std::string::npos) << records.output;
  EXPECT_NE(records.output.find("1,024-byte file records"), std::string::npos) << records.output;

  EXPECT_EQ(RunCli({"info", "--help"}).status, 0);
  EXPECT_NE(RunCli({"info"}).status, 0);
}

// --- Run lists against ntfsinfo -v ------------------------------------------------------

struct Extent {
  uint64_t vcn;
  int64_t lcn;  // -1 for a hole
  uint64_t length;
  bool operator==(const Extent&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Extent& e) {
  return out << "{vcn " << e.vcn << ", lcn " << e.lcn << ", length " << e.length << "}";
}

// Joins neighbours that continue each other, so that two readers that split a
// run differently still compare equal.
std::vector<Extent> Normalised(std::vector<Extent> runs) {
  std::vector<Extent> out;
  for (const Extent& e : runs) {
    if (!out.empty()) {
      Extent& last = out.back();
      const bool bothHoles = last.lcn < 0 && e.lcn < 0;
      const bool contiguous =
          last.lcn >= 0 && e.lcn == last.lcn + static_cast<int64_t>(last.length);
      if (last.vcn + last.length == e.vcn && (bothHoles || contiguous)) {
        last.length += e.length;
        continue;
      }
    }
    out.push_back(e);
  }
  return out;
}

// The runs of the unnamed $DATA attribute in ntfsinfo -v output.
std::vector<Extent> NtfsinfoRuns(const std::string& dump) {
  std::vector<Extent> runs;
  static const std::regex line(R"(^\s+0x([0-9a-f]+)\s+(0x[0-9a-f]+|<HOLE>)\s+0x([0-9a-f]+)\s*$)");
  for (const auto& [type, block] : AttributeBlocks(dump)) {
    if (type != "$DATA" || LeadingNumber(Fields(block)["Name length"]) != 0) continue;
    std::istringstream in(block.substr(block.find("Runlist:")));
    std::string text;
    std::getline(in, text);  // the heading
    for (std::smatch m; std::getline(in, text) && std::regex_match(text, m, line);) {
      const std::string lcn = m[2];
      runs.push_back({std::stoull(m[1], nullptr, 16),
                      lcn == "<HOLE>" ? -1 : static_cast<int64_t>(std::stoull(lcn, nullptr, 16)),
                      std::stoull(m[3], nullptr, 16)});
    }
  }
  return Normalised(runs);
}

// The runs of the unnamed $DATA attribute of `record` as the engine reads them.
std::vector<Extent> EngineRuns(const std::vector<FileEntry>& entries, uint64_t record) {
  std::vector<Extent> runs;
  for (const FileEntry& entry : entries) {
    if (entry.recordNumber != record) continue;
    for (const auto& copy : entry.attributes) {
      const ByteView attr(copy.data(), copy.size());
      if (attr.U32(0) != engine::ntfs::kAttrData || attr.U8(9) != 0) continue;
      std::vector<engine::ntfs::DataRun> decoded;
      EXPECT_EQ(engine::ntfs::DecodeAttributeRuns(attr.span(), decoded),
                engine::ntfs::RunListError::kNone);
      for (const auto& r : decoded) {
        runs.push_back({r.vcn, r.sparse ? -1 : static_cast<int64_t>(r.lcn), r.length});
      }
    }
  }
  return Normalised(runs);
}

TEST(NtfsReaderIntegration, RunListsMatchNtfsinfoForFragmentedSparseAndCompressedFiles) {
  STOW_REQUIRE_NTFS_FIXTURES();
  struct Case {
    const char* fixture;
    const char* role;
    bool fragmented;
    bool holes;
  };
  const Case cases[] = {
      {"fragmented", "fragmented", true, false}, {"fragmented", "holes", true, false},
      {"sparse", "sparse", true, true},          {"sparse", "all-hole", false, true},
      {"compressed", "compressed", true, true},  {"non-ascii", "emoji", false, false},
      {"many-files", "big", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + " " + c.role);
    std::string error;
    const NtfsFixture* fixture = GetNtfsFixture(c.fixture, &error);
    ASSERT_NE(fixture, nullptr) << error;
    const int64_t inode = InodeOf(fixture->image, fixture->files.at(c.role));
    ASSERT_GT(inode, 0);

    CDisk disk;
    ASSERT_EQ(disk.InitDisk(platform::VolumeId(fixture->image.string()), true),
              engine::DiskResult::kOk);
    uint64_t total = 0;
    ASSERT_GT(disk.Mft().BuildEntryList(total, true, 0), static_cast<uint64_t>(inode));
    const std::vector<Extent> ours = EngineRuns(disk.Mft().Entries(), static_cast<uint64_t>(inode));

    const CommandResult dump =
        test::Run({"ntfsinfo", "-v", "-i", std::to_string(inode), fixture->image.string()});
    ASSERT_EQ(dump.status, 0) << dump.output;
    const std::vector<Extent> theirs = NtfsinfoRuns(dump.output);
    ASSERT_FALSE(theirs.empty()) << dump.output;
    EXPECT_EQ(ours, theirs);

    // The fixtures are what they claim to be.
    if (c.fragmented) {
      EXPECT_GT(theirs.size(), 2u);
    }
    const bool anyHole =
        std::any_of(theirs.begin(), theirs.end(), [](const Extent& e) { return e.lcn < 0; });
    EXPECT_EQ(anyHole, c.holes);

    // And the $MFT's own runs, which the record cache follows.
    const CommandResult mft = test::Run({"ntfsinfo", "-v", "-i", "0", fixture->image.string()});
    EXPECT_EQ(EngineRuns(disk.Mft().Entries(), 0), NtfsinfoRuns(mft.output));
  }
}

// --- The entry list of a volume with several cache windows -------------------------------

struct InodeFacts {
  bool inUse = false;
  uint64_t sectors = 0;  // non-resident attributes' allocated sizes in 512-byte sectors
};

// ntfsinfo -i for every record, two at a time: which are in use and what their
// non-resident attributes allocate.
std::vector<InodeFacts> NtfsinfoInodes(const fs::path& image, uint64_t count) {
  // Each batch writes its own file: two writers on one pipe would interleave dumps.
  TempDir dumps;
  const std::string dir = Quote(dumps.Path().string());
  const CommandResult r =
      Shell("export IMG=" + Quote(image.string()) + " OUT=" + dir + "; seq 0 " +
            std::to_string(count - 1) +
            " | xargs -P 2 -n 128 sh -c 'for i; do echo \"@@inode $i\"; ntfsinfo -i $i \"$IMG\" "
            "2>&1; done > \"$OUT/batch-$1\"' _ && cat " +
            dir + "/batch-*");
  std::vector<InodeFacts> facts(count);
  const std::string marker = "@@inode ";
  size_t at = r.output.find(marker);
  while (at != std::string::npos) {
    const size_t next = r.output.find(marker, at + marker.size());
    const std::string dump = r.output.substr(at, next == std::string::npos ? next : next - at);
    const auto n = static_cast<uint64_t>(LeadingNumber(dump.substr(marker.size())));
    if (n < count && dump.find("Dumping Inode") != std::string::npos) {
      facts[n].inUse = true;
      for (const auto& [type, block] : AttributeBlocks(dump)) {
        auto f = Fields(block);
        if (f["Resident"].find("No") == std::string::npos) continue;
        const auto allocated = static_cast<uint64_t>(LeadingNumber(f["Allocated size"]));
        facts[n].sectors += (allocated + 511) / 512;
      }
    }
    at = next;
  }
  return facts;
}

TEST(NtfsReaderIntegration, EntryListVisitsEveryRecordAndTotalsMatchNtfsinfo) {
  STOW_REQUIRE_NTFS_FIXTURES();
  std::string error;
  const NtfsFixture* fixture = GetNtfsFixture("many-files", &error);
  ASSERT_NE(fixture, nullptr) << error;

  CDisk disk;
  ASSERT_EQ(disk.InitDisk(platform::VolumeId(fixture->image.string()), true),
            engine::DiskResult::kOk);
  uint64_t total = 0;
  const uint64_t count = disk.Mft().BuildEntryList(total, false, 0);
  ASSERT_GT(count, 2u * engine::kRecordCacheRecords);  // three windows at least
  EXPECT_EQ(count, disk.Mft().MftRecordCount());
  const auto& entries = disk.Mft().Entries();
  ASSERT_EQ(entries.size(), count);

  const std::vector<InodeFacts> facts = NtfsinfoInodes(fixture->image, count);
  uint64_t expected = 0;
  uint64_t inUse = 0;
  int mismatches = 0;
  for (uint64_t n = 0; n < count; ++n) {
    const FileEntry& e = entries[n];
    EXPECT_EQ(e.recordNumber, n);
    uint64_t ours = 0;
    for (const auto& copy : e.attributes) {
      const ByteView attr(copy.data(), copy.size());
      if (attr.U8(8) != 0) ours += (attr.U64(40) + 511) / 512;
    }
    if (facts[n].inUse) ++inUse;
    if (n != 8) expected += facts[n].sectors;
    if ((facts[n].inUse != !e.attributes.empty() || ours != facts[n].sectors) &&
        ++mismatches < 10) {
      ADD_FAILURE() << "record " << n << ": ntfsinfo " << (facts[n].inUse ? "in use" : "unused")
                    << " with " << facts[n].sectors << " sectors; engine " << e.attributes.size()
                    << " attributes with " << ours << " sectors";
    }
  }
  EXPECT_GT(inUse, fixture->fileCount);
  EXPECT_EQ(total, expected);

  // The non-resident-only walk visits the same records and finds the same total.
  uint64_t nonResidentTotal = 0;
  EXPECT_EQ(disk.Mft().BuildEntryList(nonResidentTotal, true, 0), count);
  EXPECT_EQ(nonResidentTotal, total);
  EXPECT_LT(disk.Mft().Entries().size(), count / 10);
}

}  // namespace
}  // namespace stow::test
