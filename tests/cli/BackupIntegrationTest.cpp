// stowline-cli backup on real volumes made by mkntfs and filled through
// ntfs-3g. Every fixture volume backs up into an image that `inspect` accepts,
// and the image is checked against the source as ntfs-3g's tools read it:
// ntfscluster names the files that own clusters, ntfsinfo gives each
// attribute's instance and run list, and the data of every block equals the
// source's bytes at the clusters ntfsinfo names. File contents read through an
// ntfs-3g mount equal the runs the image holds for them. Then the command's
// own behaviour: the default name in a folder, refusals, and Ctrl-C.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "support/Bytes.h"
#include "tests/engine/BackupTestSupport.h"
#include "tests/testlib/NtfsFixtures.h"
#include "tests/testlib/TestUtil.h"
#include "tests/testlib/TreeCompare.h"

namespace stow::test {
namespace {

using engine::testing::ImageBlock;
using engine::testing::ImageFile;
using engine::testing::ReadImageFile;

constexpr uint64_t kBitmapRecord = 6;
constexpr uint64_t kBootRecord = 7;
constexpr uint64_t kBadClusRecord = 8;

// One run of a non-resident attribute as ntfsinfo lists it.
struct SourceRun {
  int64_t lcn = -1;  // -1 for a hole
  uint64_t clusters = 0;
};

// A non-resident attribute as ntfsinfo dumps it.
struct SourceAttribute {
  uint64_t record = 0;  // the record that holds it ("from mft record N")
  uint16_t instance = 0;
  std::string type;  // "$DATA", "$INDEX_ALLOCATION", ...
  uint64_t nameLength = 0;
  std::vector<SourceRun> runs;
};

std::vector<SourceAttribute> NtfsinfoAttributes(const std::string& dump) {
  static const std::regex heading(
      R"(Dumping attribute (\S+) \(0x[0-9a-f]+\) from mft record (\d+))");
  static const std::regex instance(R"(Attribute instance:\s+(\d+))");
  static const std::regex nameLength(R"(Name length:\s+(\d+))");
  static const std::regex runLine(
      R"(^\s+0x([0-9a-f]+)\s+(0x[0-9a-f]+|<HOLE>)\s+0x([0-9a-f]+)\s*$)");
  std::vector<SourceAttribute> out;
  std::istringstream in(dump);
  bool inRuns = false;
  bool nonResident = false;
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, heading)) {
      out.push_back({std::stoull(m[2]), 0, m[1], 0, {}});
      inRuns = false;
      nonResident = false;
    } else if (out.empty()) {
      continue;
    } else if (line.find("Resident:") != std::string::npos) {
      nonResident = line.find("No") != std::string::npos;
    } else if (std::regex_search(line, m, instance)) {
      out.back().instance = static_cast<uint16_t>(std::stoul(m[1]));
    } else if (std::regex_search(line, m, nameLength)) {
      out.back().nameLength = std::stoull(m[1]);
    } else if (line.find("Runlist:") != std::string::npos) {
      inRuns = nonResident;
    } else if (inRuns && std::regex_match(line, m, runLine)) {
      const std::string lcn = m[2];
      out.back().runs.push_back(
          {lcn == "<HOLE>" ? -1 : static_cast<int64_t>(std::stoull(lcn, nullptr, 16)),
           std::stoull(m[3], nullptr, 16)});
    }
  }
  // Resident attributes carry no runs and no blocks.
  std::erase_if(out, [](const SourceAttribute& a) { return a.runs.empty(); });
  return out;
}

// The inodes that own clusters, as ntfscluster finds them over the whole volume.
std::set<uint64_t> InodesOwningClusters(const std::string& image, uint64_t clusters) {
  const CommandResult r =
      test::Run({"ntfscluster", "-c", "0-" + std::to_string(clusters - 1), image});
  EXPECT_EQ(r.status, 0) << r.output;
  std::set<uint64_t> out;
  static const std::regex line(R"(^Inode (\d+) )");
  std::istringstream in(r.output);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (std::regex_search(text, m, line)) out.insert(std::stoull(m[1]));
  }
  return out;
}

uint64_t VolumeClusters(const std::string& image) {
  const CommandResult r = test::Run({"ntfsinfo", "-m", image});
  std::smatch m;
  static const std::regex size(R"(Volume Size in Clusters:\s+(\d+))");
  return std::regex_search(r.output, m, size) ? std::stoull(m[1]) : 0;
}

std::vector<std::byte> ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> out(text.size());
  std::transform(text.begin(), text.end(), out.begin(),
                 [](char c) { return static_cast<std::byte>(c); });
  return out;
}

// The blocks ntfs-3g's view of the volume says a backup must hold, in stream
// order: ascending record, attributes in record order, runs in run-list order.
struct ExpectedBlock {
  uint64_t record;
  uint16_t instance;
  uint32_t runIndex;
  SourceRun run;
};

std::vector<ExpectedBlock> ExpectedStream(
    const std::string& image, std::set<uint64_t> inodes,
    std::map<uint64_t, std::vector<SourceAttribute>>& byInode) {
  std::map<uint64_t, std::vector<SourceAttribute>> byRecord;
  std::set<std::pair<uint64_t, uint16_t>> seen;
  for (uint64_t inode : inodes) {
    if (inode == kBitmapRecord || inode == kBootRecord || inode == kBadClusRecord) continue;
    const CommandResult dump = test::Run({"ntfsinfo", "-v", "-i", std::to_string(inode), image});
    if (dump.status != 0) continue;  // an extension record: its base inode lists it
    byInode[inode] = NtfsinfoAttributes(dump.output);
    for (const SourceAttribute& a : byInode[inode]) {
      if (a.record == 0 && a.type != "$DATA") continue;  // of $MFT only its data
      if (!seen.insert({a.record, a.instance}).second) continue;
      byRecord[a.record].push_back(a);
    }
  }
  std::vector<ExpectedBlock> out;
  for (const auto& [record, attributes] : byRecord) {
    for (const SourceAttribute& a : attributes) {
      for (size_t i = 0; i < a.runs.size(); ++i) {
        out.push_back({record, a.instance, static_cast<uint32_t>(i), a.runs[i]});
      }
    }
  }
  return out;
}

std::string Describe(const ExpectedBlock& e) {
  return "record " + std::to_string(e.record) + " instance " + std::to_string(e.instance) +
         " run " + std::to_string(e.runIndex);
}

// Backs `fixture` up and checks the image block by block against the source.
void CheckBackupOf(const NtfsFixture& fixture, const fs::path& imagePath) {
  const std::string source = fixture.image.string();
  const CommandResult backup = RunCli({"backup", "--yes", "--quiet", source, imagePath.string()});
  ASSERT_EQ(backup.status, 0) << backup.output;
  // The checksum file the backup wrote proves every byte of the image.
  const CommandResult inspect = RunCli({"inspect", imagePath.string(), "--verify"});
  ASSERT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_NE(inspect.output.find("Contents:         ok"), std::string::npos) << inspect.output;

  const ImageFile image = ReadImageFile(imagePath);
  ASSERT_TRUE(image.wellFormed);
  ASSERT_FALSE(image.blocks.empty());
  const uint64_t clusters = VolumeClusters(source);
  ASSERT_GT(clusters, 0u);

  // Candidates: every inode that owns clusters, every record the image names,
  // and the fixture's own files (an all-hole file owns no cluster).
  std::set<uint64_t> inodes = InodesOwningClusters(source, clusters);
  inodes.insert(0);
  for (const ImageBlock& b : image.blocks) inodes.insert(b.recordNumber);
  for (const auto& [role, path] : fixture.files) {
    const int64_t inode = InodeOf(fixture.image, path);
    ASSERT_GE(inode, 0) << path;
    inodes.insert(static_cast<uint64_t>(inode));
  }
  std::map<uint64_t, std::vector<SourceAttribute>> byInode;
  const std::vector<ExpectedBlock> expected = ExpectedStream(source, inodes, byInode);

  // Every run appears once, in stream order, with the length ntfs-3g gives it.
  ASSERT_EQ(image.blocks.size(), expected.size());
  const std::vector<std::byte> volume = ReadWhole(fixture.image);
  for (size_t i = 0; i < expected.size(); ++i) {
    const ImageBlock& b = image.blocks[i];
    const ExpectedBlock& e = expected[i];
    SCOPED_TRACE(Describe(e));
    ASSERT_EQ(b.recordNumber, e.record);
    ASSERT_EQ(b.instance, e.instance);
    ASSERT_EQ(b.runIndex, e.runIndex);
    ASSERT_EQ(b.runLength, e.run.clusters * fixture.clusterSize);
    EXPECT_EQ(b.sequence, i + 1);
    if (e.run.lcn < 0) {
      EXPECT_EQ(b.dataLength, 0u);
      continue;
    }
    ASSERT_NE(b.dataLength, 0u);
    const uint64_t at = static_cast<uint64_t>(e.run.lcn) * fixture.clusterSize;
    ASSERT_LE(at + b.runLength, volume.size());
    EXPECT_TRUE(std::equal(volume.begin() + static_cast<std::ptrdiff_t>(at),
                           volume.begin() + static_cast<std::ptrdiff_t>(at + b.runLength),
                           image.bytes.begin() + static_cast<std::ptrdiff_t>(b.dataOffset)))
        << "the data differs from the source's clusters";
  }

  // Files with known content, read through ntfs-3g, equal their runs in the image.
  NtfsMount mount(source, true);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  for (const auto& [role, path] : fixture.files) {
    if (role == "compressed" || role == "directory" || role == "streams") continue;
    SCOPED_TRACE(path);
    const fs::path file = mount.Path() / fs::path(path).relative_path();
    const std::vector<std::byte> content = ReadWhole(file);
    const auto inode = static_cast<uint64_t>(InodeOf(fixture.image, path));
    const auto& attributes = byInode[inode];
    const auto data = std::find_if(attributes.begin(), attributes.end(), [](const auto& a) {
      return a.type == "$DATA" && a.nameLength == 0;
    });
    ASSERT_NE(data, attributes.end()) << "the file's data is not in runs";
    std::vector<std::byte> rebuilt;
    for (const ImageBlock& b : image.blocks) {
      if (b.recordNumber != data->record || b.instance != data->instance) continue;
      if (b.dataLength == 0) {
        rebuilt.resize(rebuilt.size() + b.runLength, std::byte{0});
      } else {
        const auto from = image.bytes.begin() + static_cast<std::ptrdiff_t>(b.dataOffset);
        rebuilt.insert(rebuilt.end(), from, from + static_cast<std::ptrdiff_t>(b.runLength));
      }
    }
    ASSERT_GE(rebuilt.size(), content.size());
    rebuilt.resize(content.size());
    EXPECT_TRUE(rebuilt == content);
  }
}

TEST(BackupIntegration, EveryFixtureVolumeBacksUpIntoAnImageThatMatchesItsSource) {
  STOW_REQUIRE_NTFS_FIXTURES();
  STOW_REQUIRE((std::vector<std::string>{"ntfscluster"}), false, true);
  std::string error;
  const auto fixtures = AllNtfsFixtures(&error);
  ASSERT_FALSE(fixtures.empty()) << error;
  TempDir dir;
  for (const NtfsFixture* fixture : fixtures) {
    SCOPED_TRACE(fixture->name);
    const fs::path image = dir / (fixture->name + ".vmg");
    CheckBackupOf(*fixture, image);
    fs::remove(image);
  }
}

// A copy of `image` as `name` beside it with the byte at `at` inverted (none
// when negative), and a copy of its checksum file unless `withSums` is false,
// with its byte at `sumsAt` inverted when that is not negative.
fs::path ChangedCopy(const fs::path& image, const std::string& name, int64_t at,
                     bool withSums = true, int64_t sumsAt = -1) {
  const fs::path out = image.parent_path() / name;
  auto write = [](const fs::path& from, const fs::path& to, int64_t where) {
    std::vector<std::byte> bytes = ReadWhole(from);
    if (where >= 0) bytes.at(static_cast<size_t>(where)) ^= std::byte{0xFF};
    std::ofstream(to, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  };
  write(image, out, at);
  if (withSums) write(image.string() + ".sums", out.string() + ".sums", sumsAt);
  return out;
}

TEST(BackupIntegration, ChecksumsFindEveryChangedByteAndARestoreStopsAtTheFirst) {
  STOW_REQUIRE_NTFS_FIXTURES();
  std::string error;
  const NtfsFixture* fixture = GetNtfsFixture("many-files", &error);
  ASSERT_NE(fixture, nullptr) << error;
  const std::string source = fixture->image.string();
  TempDir dir;
  const fs::path image = dir / "many.vmg";
  const CommandResult backup =
      RunCli({"backup", "--yes", "--quiet", "--verify", source, image.string()});
  ASSERT_EQ(backup.status, 0) << backup.output;
  ASSERT_TRUE(fs::exists(image.string() + ".sums"));

  // A block in the middle, and the last block with data: a late file.
  const ImageFile parsed = ReadImageFile(image);
  ASSERT_TRUE(parsed.wellFormed);
  ASSERT_GT(parsed.blocks.size(), 4u);
  const ImageBlock& middle = parsed.blocks[parsed.blocks.size() / 2];
  const auto last = std::find_if(parsed.blocks.rbegin(), parsed.blocks.rend(),
                                 [](const ImageBlock& b) { return b.dataLength != 0; });
  ASSERT_NE(last, parsed.blocks.rend());
  auto names = [](const ImageBlock& b) {
    return "file record " + std::to_string(b.recordNumber) + " at offset " +
           std::to_string(b.dataOffset - 40);
  };
  const fs::path lateData =
      ChangedCopy(image, "data.vmg", static_cast<int64_t>(last->dataOffset + last->dataLength / 2));
  const struct {
    fs::path image;
    std::string names;
  } cases[] = {
      {ChangedCopy(image, "header.vmg", 12), "the image header at offset 0"},
      // The high bytes of the run index: no structure check reads them.
      {ChangedCopy(image, "record.vmg", static_cast<int64_t>(middle.dataOffset - 40 + 35)),
       names(middle)},
      {lateData, names(*last)},
      {ChangedCopy(image, "sums.vmg", -1, true, 100), "the checksum file is damaged"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image.filename().string());
    const CommandResult r = RunCli({"inspect", c.image.string(), "--verify"});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("Structure:        ok"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(c.names), std::string::npos) << c.names << "\n" << r.output;
  }

  // A restore of the image with a changed byte in its last file stops there
  // and leaves an empty volume.
  const fs::path destination = dir / "restored.img";
  MakeSparseFile(destination, fs::file_size(fixture->image));
  const CommandResult damaged = RunCli(
      {"restore", lateData.string(), destination.string(), "--yes", "--quiet", "--no-repair"});
  EXPECT_EQ(damaged.status, 29) << damaged.output;
  EXPECT_NE(damaged.output.find(names(*last)), std::string::npos) << damaged.output;
  EXPECT_EQ(damaged.output.find("restored successfully"), std::string::npos) << damaged.output;
  {
    NtfsMount mount(destination.string(), true);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    EXPECT_TRUE(fs::is_empty(mount.Path())) << "the destination holds files";
  }
  // A damaged checksum file is refused before the format.
  const CommandResult refused = RunCli({"restore", (dir / "sums.vmg").string(),
                                        destination.string(), "--yes", "--quiet", "--no-repair"});
  EXPECT_EQ(refused.status, 1) << refused.output;
  EXPECT_NE(refused.output.find("The destination was not changed"), std::string::npos)
      << refused.output;

  // Without its checksum file the image restores unchecked, with a warning.
  const fs::path bare = ChangedCopy(image, "bare.vmg", -1, false);
  const CommandResult unchecked =
      RunCli({"restore", bare.string(), destination.string(), "--yes", "--quiet", "--no-repair"});
  ASSERT_EQ(unchecked.status, 0) << unchecked.output;
  EXPECT_NE(unchecked.output.find("has no checksum file"), std::string::npos) << unchecked.output;
  const auto differences = CompareNtfsVolumes(source, destination.string());
  EXPECT_TRUE(differences.empty()) << DifferencesText(differences);

  // --no-checksums writes none, and the earlier image's one goes with it.
  const CommandResult plain =
      RunCli({"backup", "--yes", "--quiet", "--no-checksums", source, image.string()});
  ASSERT_EQ(plain.status, 0) << plain.output;
  EXPECT_FALSE(fs::exists(image.string() + ".sums"));
  const CommandResult unproved = RunCli({"inspect", image.string(), "--verify"});
  EXPECT_EQ(unproved.status, 0) << unproved.output;
  EXPECT_NE(unproved.output.find("cannot be verified: no checksum file"), std::string::npos)
      << unproved.output;
  EXPECT_EQ(RunCli({"backup", "--verify", "--no-checksums", source, image.string()}).status, 2);
}

TEST(BackupIntegration, AKilledBackupNeverLeavesAChecksumFileBesideAnotherImage) {
  STOW_REQUIRE_NTFS_FIXTURES();
  STOW_REQUIRE((std::vector<std::string>{"timeout"}), false, false);
  std::string error;
  const NtfsFixture* small = GetNtfsFixture("empty", &error);
  const NtfsFixture* large = GetNtfsFixture("many-files", &error);
  ASSERT_TRUE(small != nullptr && large != nullptr) << error;
  TempDir dir;
  const fs::path image = dir / "target.vmg";
  const fs::path sums = image.string() + ".sums";
  // An earlier image with its checksum file, then backups of another volume
  // over it, killed at moments from the start to the end.
  ASSERT_EQ(RunCli({"backup", "--yes", "--quiet", small->image.string(), image.string()}).status,
            0);
  for (const char* after : {"0.05", "0.15", "0.3", "0.6", "1", "1.5", "2.5"}) {
    SCOPED_TRACE(after);
    static_cast<void>(test::Run({"timeout", "-s", "KILL", after, STOWLINE_CLI_PATH, "backup",
                                 "--yes", "--quiet", large->image.string(), image.string()}));
    ASSERT_TRUE(fs::exists(image));
    if (fs::exists(sums)) {
      const CommandResult r = RunCli({"inspect", image.string(), "--verify", "--quiet"});
      EXPECT_EQ(r.status, 0) << r.output;
      EXPECT_NE(r.output.find("Contents:         ok"), std::string::npos) << r.output;
    } else {
      const CommandResult r = RunCli({"inspect", image.string()});
      EXPECT_EQ(r.status, 0) << r.output;
    }
  }
}

TEST(BackupIntegration, AFolderAsImageGetsTheDefaultName) {
  STOW_REQUIRE_NTFS_FIXTURES();
  std::string error;
  const NtfsFixture* fixture = GetNtfsFixture("empty", &error);
  ASSERT_NE(fixture, nullptr) << error;
  TempDir dir;
  const std::time_t now = std::time(nullptr);
  char date[16];
  std::strftime(date, sizeof date, "%Y%m%d", std::localtime(&now));
  const CommandResult r =
      RunCli({"backup", "--yes", "--quiet", fixture->image.string(), dir.Path().string()});
  ASSERT_EQ(r.status, 0) << r.output;
  const fs::path expected = dir / (std::string("Velmoras") + date + ".vmg");
  ASSERT_TRUE(fs::exists(expected)) << r.output;
  EXPECT_EQ(RunCli({"inspect", expected.string()}).status, 0);
  // The header names the cluster size and no drive letter.
  const std::vector<std::byte> bytes = ReadWhole(expected);
  ASSERT_GE(bytes.size(), 40u);
  EXPECT_EQ(bytes[0], std::byte{0});
  EXPECT_EQ(bytes[1], std::byte{0});
  EXPECT_EQ(stow::LoadLe32(&bytes[24]), fixture->clusterSize);
}

TEST(BackupIntegration, RefusalsAreOneClearLineAndWriteNothing) {
  STOW_REQUIRE_NTFS_FIXTURES();
  TempDir dir;
  MakeSparseFile(dir / "zero.img", 4 << 20);
  const fs::path image = dir / "out.vmg";
  auto lines = [](const std::string& s) { return std::count(s.begin(), s.end(), '\n'); };

  const CommandResult notNtfs =
      RunCli({"backup", "--yes", (dir / "zero.img").string(), image.string()});
  EXPECT_EQ(notNtfs.status, 1);
  EXPECT_EQ(lines(notNtfs.output), 1) << notNtfs.output;
  EXPECT_NE(notNtfs.output.find("not an NTFS volume"), std::string::npos) << notNtfs.output;
  EXPECT_FALSE(fs::exists(image));

  std::string error;
  const NtfsFixture* fixture = GetNtfsFixture("empty", &error);
  ASSERT_NE(fixture, nullptr) << error;
  const std::string source = fixture->image.string();
  // Without a terminal to ask on and without --yes nothing is done.
  const CommandResult unasked = RunCli({"backup", source, image.string()});
  EXPECT_EQ(unasked.status, 1);
  EXPECT_EQ(lines(unasked.output), 1) << unasked.output;
  EXPECT_NE(unasked.output.find("--yes"), std::string::npos) << unasked.output;
  EXPECT_FALSE(fs::exists(image));
  // The image must not be the volume it reads.
  const fs::path copy = dir / "copy.img";
  ASSERT_TRUE(CopyNtfsFixture(*fixture, copy));
  const CommandResult self = RunCli({"backup", "--yes", copy.string(), copy.string()});
  EXPECT_EQ(self.status, 1);
  EXPECT_NE(self.output.find("would be written onto the source volume: " + copy.string() +
                             " is the volume " + copy.string() + " itself"),
            std::string::npos)
      << self.output;
  EXPECT_EQ(RunCli({"info", copy.string()}).status, 0) << "the source is untouched";
  EXPECT_EQ(RunCli({"backup", "--yes"}).status, 2);
}

TEST(BackupIntegration, CtrlCStopsTheBackupAsStoppedAndDeletesTheImage) {
  // A large volume whose file's clusters are allocated but never written: the
  // backup reads gigabytes of zeros, which takes long enough to interrupt.
  STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfs-3g", "ntfsfallocate"}), false, true);
  TempDir dir;
  const fs::path volume = dir / "big.img";
  MakeSparseFile(volume, 8ull << 30);
  ASSERT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", volume.string()}).status, 0);
  {
    NtfsMount mount(volume.string(), false);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    std::ofstream(mount.Path() / "big.bin").put('x');
    ASSERT_TRUE(mount.Unmount());
  }
  const CommandResult fill = test::Run({"ntfsfallocate", "-l", "6G", volume.string(), "/big.bin"});
  ASSERT_EQ(fill.status, 0) << fill.output;

  // Interrupt once data is flowing into the image (more than its header); it
  // is written under a temporary name beside its target until it is complete.
  const fs::path image = dir / "big.vmg";
  const std::string partial = Quote(dir.Path().string()) + "/.big.vmg.*.partial";
  const std::string script =
      Quote(STOWLINE_CLI_PATH) + " backup --yes " + Quote(volume.string()) + " " +
      Quote(image.string()) + " >" + Quote((dir / "log").string()) + " 2>&1 & pid=$!; " +
      "i=0; while [ $i -lt 6000 ]; do s=$(stat -c %s " + partial +
      " 2>/dev/null || echo 0); [ \"$s\" -gt 1048576 ] && break; sleep 0.01; i=$((i+1)); done; "
      "kill -INT $pid; wait $pid; echo \"status=$?\"";
  const CommandResult r = Shell(script);
  std::ifstream logFile(dir / "log");
  const std::string log((std::istreambuf_iterator<char>(logFile)),
                        std::istreambuf_iterator<char>());
  EXPECT_NE(r.output.find("status=25"), std::string::npos) << r.output << log;
  EXPECT_NE(log.find("The operation is stopped."), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(image)) << "a stopped backup leaves no image";
  EXPECT_TRUE(Shell("ls " + partial).status != 0) << "nor its temporary file";
}

}  // namespace
}  // namespace stow::test
