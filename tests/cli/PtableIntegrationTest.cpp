// stowline-cli ptable and the active flag on real disk images and loop devices,
// checked entry by entry against sfdisk's own reading of the same disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "engine/disk/DiskPartitions.h"
#include "tests/testlib/DiskFixtures.h"
#include "tests/testlib/TestUtil.h"

namespace stow::test {
namespace {

// One line per used entry: start, length, type, unique GUID, name, bootable.
// MBR types are two hex digits, GPT names their first 16 characters (all the
// engine keeps); the extended container is sfdisk's alone, since the engine walks
// it instead of listing it.
constexpr const char* kOurLines =
    ".entries[] | select(.length > 0) | "
    "[.start, .length, .type, (.uuid // \"\"), (.name // \"\"), .bootable] | @tsv";
constexpr const char* kSfdiskLines =
    ".partitiontable as $t | $t.partitions[] | "
    "select($t.label != \"dos\" or "
    "((.type == \"f\" or .type == \"5\" or .type == \"85\") | not)) | "
    "[.start, .size, "
    "(if $t.label == \"dos\" and (.type | length) == 1 then \"0\" + .type else .type end), "
    "(.uuid // \"\"), ((.name // \"\")[0:16]), "
    "(if $t.label == \"dos\" then (.bootable // false) "
    "else ((.attrs // \"\") | contains(\"LegacyBIOSBootable\")) end)] | @tsv";

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Runs `command` (standard error dropped) and passes its output through jq.
std::string Jq(const std::string& command, const std::string& filter) {
  const CommandResult r = Shell(command + " 2>/dev/null | jq -r " + Quote(filter));
  EXPECT_EQ(r.status, 0) << command << ": " << r.output;
  return r.output;
}

std::string OurJson(const std::string& disk) {
  return Quote(STOWLINE_CLI_PATH) + " ptable --json " + Quote(disk);
}
std::string SfdiskJson(const std::string& disk) { return "sfdisk --json " + Quote(disk); }

// The whole listing agrees with sfdisk's, and the result and kinds are as expected.
void ExpectMatchesSfdisk(const std::string& disk, const std::string& result,
                         const std::string& kinds) {
  SCOPED_TRACE(disk);
  const std::vector<std::string> ours = SortedLines(Jq(OurJson(disk), kOurLines));
  const std::vector<std::string> theirs = SortedLines(Jq(SfdiskJson(disk), kSfdiskLines));
  EXPECT_FALSE(theirs.empty());
  EXPECT_EQ(ours, theirs);
  EXPECT_EQ(Jq(OurJson(disk), ".result, ([.entries[].kind] | join(\",\"))"),
            result + "\n" + kinds + "\n");
}

bool SfdiskSaysBootable(const std::string& disk, int number) {
  const std::string node = std::to_string(number);
  return Jq(SfdiskJson(disk), ".partitiontable.partitions[] | select(.node | endswith(\"" + node +
                                  "\")) | (.bootable // false)") == "true\n";
}

class PtableIntegration : public ::testing::Test {
 protected:
  static std::vector<std::string> Tools() {
    std::vector<std::string> tools = DiskFixtureTools();
    tools.push_back("jq");
    return tools;
  }

  // The fixtures are built once for every test of this binary.
  static void SetUpTestSuite() {
    if (!MissingForIntegration(Tools()).empty()) return;
    dir_ = new TempDir;
    mbr_ = new DiskFixture(MakeMbrLogicalDisk(dir_->Path()));
    gpt_ = new DiskFixture(MakeGptDisk(dir_->Path()));
  }
  static void TearDownTestSuite() {
    delete mbr_;
    delete gpt_;
    delete dir_;
    mbr_ = gpt_ = nullptr;
    dir_ = nullptr;
  }

  void SetUp() override {
    STOW_REQUIRE(Tools(), false, false);
    ASSERT_TRUE(mbr_->Ok()) << mbr_->error;
    ASSERT_TRUE(gpt_->Ok()) << gpt_->error;
  }

  // A private copy of a fixture image that a test may change.
  fs::path CopyOf(const DiskFixture& disk, const std::string& name) {
    const fs::path copy = dir_->Path() / name;
    EXPECT_EQ(test::Run({"cp", "--sparse=always", disk.image.string(), copy.string()}).status, 0);
    return copy;
  }

  static TempDir* dir_;
  static DiskFixture* mbr_;
  static DiskFixture* gpt_;
};

TempDir* PtableIntegration::dir_ = nullptr;
DiskFixture* PtableIntegration::mbr_ = nullptr;
DiskFixture* PtableIntegration::gpt_ = nullptr;

TEST_F(PtableIntegration, ImageFilesMatchSfdisk) {
  // Slots 3 and 4 of the MBR are empty and still listed as primaries.
  ExpectMatchesSfdisk(mbr_->image.string(), "0", "primary,primary,primary,logical,logical");
  ExpectMatchesSfdisk(gpt_->image.string(), "17", "gpt,gpt,gpt");
}

TEST_F(PtableIntegration, LoopDevicesMatchSfdisk) {
  STOW_REQUIRE(Tools(), true, false);
  LoopDevice mbrLoop(mbr_->image);
  LoopDevice gptLoop(gpt_->image);
  ASSERT_TRUE(mbrLoop.Ok() && gptLoop.Ok());
  ExpectMatchesSfdisk(mbrLoop.Device(), "0", "primary,primary,primary,logical,logical");
  ExpectMatchesSfdisk(gptLoop.Device(), "17", "gpt,gpt,gpt");

  // Each logical entry's base sector is its EBR: inside the extended partition and
  // ahead of the partition it describes.
  const FixturePartition* ext = mbr_->Partition(2);
  const std::string bases =
      Jq(OurJson(mbrLoop.Device()),
         ".entries[] | select(.kind == \"logical\") | \"\\(.base) \\(.start)\"");
  std::istringstream in(bases);
  for (uint64_t base = 0, start = 0; in >> base >> start;) {
    EXPECT_GE(base, ext->start);
    EXPECT_LT(base, start);
  }
}

// Linux tools write extended partitions of type 05 (and 85); their logical
// partitions are listed as sfdisk lists them, and the inventory calls them logical.
TEST_F(PtableIntegration, ExtendedTypes05And85AreWalkedOnLoopDevices) {
  STOW_REQUIRE(Tools(), true, false);
  for (const char* type : {"5", "85"}) {
    SCOPED_TRACE(type);
    const fs::path image = dir_->Path() / (std::string("extended-") + type + ".img");
    MakeSparseFile(image, 32ull << 20);
    const CommandResult made =
        Shell(std::string("printf 'label: dos\\nstart=2048, size=8192, type=7\\n"
                          "start=10240, size=40960, type=") +
              type +
              "\\nstart=12288, size=8192, type=7\\nstart=22528, size=8192, type=83\\n' | "
              "sfdisk --quiet " +
              Quote(image.string()));
    ASSERT_EQ(made.status, 0) << made.output;
    ASSERT_EQ(Jq(SfdiskJson(image.string()), ".partitiontable.partitions[1].type"),
              std::string(type) + "\n");
    LoopDevice loop(image);
    ASSERT_TRUE(loop.Ok());
    ExpectMatchesSfdisk(loop.Device(), "0", "primary,primary,primary,logical,logical");

    // The list: partitions 1 primary, 5 and 6 logical, the container not listed.
    const std::string kinds = Jq(Quote(STOWLINE_CLI_PATH) + " list --json",
                                 ".volumes[] | select(.device | startswith(\"" + loop.Device() +
                                     "p\")) | \"\\(.device) \\(.mbrKind)\"");
    EXPECT_EQ(kinds,
              loop.Partition(1) + " 1\n" + loop.Partition(5) + " 2\n" + loop.Partition(6) + " 2\n");
  }
}

TEST_F(PtableIntegration, ADiskWithoutTheSignatureHasNoPartitionTable) {
  // Entry bytes without the 0x55AA signature are no table: sfdisk agrees.
  const fs::path image = CopyOf(*mbr_, "unsigned.img");
  {
    std::fstream f(image, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(510);
    f.put('\0');
    f.put('\0');
  }
  EXPECT_EQ(Shell("sfdisk --json " + Quote(image.string()) + " 2>/dev/null").output, "");
  const CommandResult text = RunCli({"ptable", image.string()});
  EXPECT_EQ(text.status, 0) << text.output;
  EXPECT_EQ(text.output, "Disk " + image.string() +
                             ": no partition table (sector 0 has no 0x55AA signature), result 9\n");
  EXPECT_EQ(Jq(OurJson(image.string()), ".table, .result, (.entries | length)"), "none\n9\n0\n");
}

TEST_F(PtableIntegration, FixturePartitionsHoldTheirFileSystems) {
  STOW_REQUIRE((std::vector<std::string>{"ntfsinfo", "mdir"}), true, false);
  LoopDevice mbrLoop(mbr_->image);
  LoopDevice gptLoop(gpt_->image);
  ASSERT_TRUE(mbrLoop.Ok() && gptLoop.Ok());
  const struct {
    const LoopDevice* loop;
    const DiskFixture* disk;
  } disks[] = {{&mbrLoop, mbr_}, {&gptLoop, gpt_}};
  for (const auto& d : disks) {
    for (const FixturePartition& p : d.disk->partitions) {
      const std::string node = d.loop->Partition(p.number);
      SCOPED_TRACE(node);
      if (p.fileSystem == "ntfs") {
        const CommandResult r = test::Run({"ntfsinfo", "-m", node});
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("Volume Name: " + p.label), std::string::npos) << r.output;
      } else if (p.fileSystem == "vfat") {
        const CommandResult r = Shell("MTOOLS_SKIP_CHECK=1 mdir -i " + Quote(node) + " ::");
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find(p.label), std::string::npos) << r.output;
      }
    }
  }
}

TEST_F(PtableIntegration, ActiveFlagOnAnImageFileIsWhatSfdiskReads) {
  const fs::path image = CopyOf(*mbr_, "active.img");
  engine::DiskDevice disk;
  ASSERT_EQ(disk.OpenPhysicalDrivePath(image.string()), engine::DiskResult::kOk);
  ASSERT_EQ(engine::SetActivePartition(disk, 1),
            engine::DiskResult::kOk);  // the extended entry's slot
  EXPECT_FALSE(SfdiskSaysBootable(image.string(), 1));
  EXPECT_TRUE(SfdiskSaysBootable(image.string(), 2));
  EXPECT_EQ(engine::SetActivePartition(disk, 4), engine::DiskResult::kNoSuchEntry);

  engine::DiskDevice gptDisk;
  ASSERT_EQ(gptDisk.OpenPhysicalDrivePath(CopyOf(*gpt_, "active-gpt.img").string()),
            engine::DiskResult::kOk);
  EXPECT_EQ(engine::SetActivePartition(gptDisk, 0), engine::DiskResult::kIsGpt);
}

TEST_F(PtableIntegration, ActiveFlagOnALoopDeviceAndItsLock) {
  STOW_REQUIRE((std::vector<std::string>{"ntfs-3g"}), true, true);
  const fs::path image = CopyOf(*mbr_, "active-loop.img");
  LoopDevice loop(image);
  ASSERT_TRUE(loop.Ok());
  engine::DiskDevice disk;
  ASSERT_EQ(disk.OpenPhysicalDrivePath(loop.Device()), engine::DiskResult::kOk);
  ASSERT_EQ(engine::SetActivePartition(disk, 1), engine::DiskResult::kOk);
  EXPECT_TRUE(SfdiskSaysBootable(loop.Device(), 2));

  // While a partition of the disk is mounted the disk cannot be locked, and the
  // table stays as it was.
  {
    NtfsMount mount(loop.Partition(1), false);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    EXPECT_EQ(engine::SetActivePartition(disk, 0), engine::DiskResult::kLockFailedForTable);
  }
  EXPECT_TRUE(SfdiskSaysBootable(loop.Device(), 2));
  EXPECT_EQ(engine::SetActivePartition(disk, 0), engine::DiskResult::kOk);
  EXPECT_TRUE(SfdiskSaysBootable(loop.Device(), 1));
}

TEST_F(PtableIntegration, TextOutputHelpAndFailures) {
  const CommandResult text = RunCli({"ptable", gpt_->image.string()});
  EXPECT_EQ(text.status, 0) << text.output;
  EXPECT_NE(text.output.find("GPT, result 17"), std::string::npos) << text.output;
  EXPECT_NE(text.output.find("EFI system parti"), std::string::npos) << text.output;

  const CommandResult help = RunCli({"ptable", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("Usage: stowline-cli ptable DISK [--json]"), std::string::npos);

  const CommandResult missing = RunCli({"ptable", (dir_->Path() / "absent.img").string()});
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.output.find("cannot open"), std::string::npos) << missing.output;

  // A GPT header whose CRC no longer matches is refused with one line, not listed.
  const fs::path broken = CopyOf(*gpt_, "broken.img");
  {
    std::fstream f(broken, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(512 + 40);
    f.put('\x7f');
  }
  const CommandResult refused = RunCli({"ptable", "--json", broken.string()});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(std::count(refused.output.begin(), refused.output.end(), '\n'), 1) << refused.output;
  EXPECT_NE(refused.output.find("result 20"), std::string::npos) << refused.output;
}

}  // namespace
}  // namespace stow::test
