// The partition split on real loop disks: a GPT disk whose only partition is an
// NTFS volume gets a FAT32 EFI system partition, the volume keeps every file,
// its number and its name; every refusal (MBR disk, volume mounted, no room,
// arguments that do not describe the volume, a tool missing, ntfsresize
// refusing) changes nothing on the disk; a failure after the shrink keeps every
// file and a second run finishes; and the runner of tasks/ runs the
// script beside the program with an inventory record's values.
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <regex>

#include "discovery/Inventory.h"
#include "platform/DiskNumbers.h"
#include "platform/Process.h"
#include "platform/VolumeLock.h"
#include "tasks/CommandRunners.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/TreeCompare.h"

namespace stow::tasks {
namespace {

using test::CommandResult;
using test::fs::path;

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kSmallSector = 512;
constexpr uint64_t kLargeSector = 4096;
constexpr const char* kEspTypeGuid = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
constexpr const char* kNtfsTypeGuid = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";

const std::vector<std::string> kTools = {"sgdisk",     "sfdisk",  "mkntfs",   "ntfs-3g",
                                         "ntfsresize", "ntfsfix", "mkfs.fat", "fsck.fat",
                                         "blkid",      "partx",   "unshare"};

#define STOW_REQUIRE_SPLIT() STOW_REQUIRE(kTools, true, true)

// Deterministic file contents.
std::string Bytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random() & 0xFF);
  return data;
}

void WriteFile(const path& file, size_t size, uint32_t seed) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  const std::string data = Bytes(size, seed);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  ASSERT_TRUE(out.good()) << file;
}

std::string Sha256Of(const std::string& device) {
  const CommandResult r = test::Run({"sha256sum", device});
  return r.status == 0 ? r.output.substr(0, 64) : "unreadable: " + r.output;
}

// How the test disk is laid out and filled.
struct DiskPlan {
  bool gpt = true;
  uint64_t sectorSize = kSmallSector;  // the disk's logical sector size
  uint64_t diskMiB = 160;
  uint64_t partitionMiB = 0;  // 0: up to the end of the disk
  uint64_t fillerMiB = 0;     // written first and deleted: the kept files lie behind it
  uint64_t keptMiB = 24;      // the files that must survive, in a few folders
  uint64_t leftMiB = 0;       // written last and kept: fills the volume
};

// A disk image with one NTFS partition (number 1) on a loop device.
class SplitDisk {
 public:
  explicit SplitDisk(const DiskPlan& plan) {
    image_ = dir_ / "disk.img";
    test::MakeSparseFile(image_, plan.diskMiB * kMiB);
    sector_ = plan.sectorSize;
    const std::string start = std::to_string(Start());
    const std::string end =
        plan.partitionMiB == 0 ? "0" : "+" + std::to_string(plan.partitionMiB) + "M";
    const std::vector<std::string> gpt = {"sgdisk", "--clear", "--new=1:" + start + ":" + end,
                                          "--typecode=1:0700", "--change-name=1:stow data"};
    CommandResult table;
    if (sector_ != kSmallSector) {
      // The table is written through the device, which has the sector size asked for.
      loop_ = std::make_unique<test::LoopDevice>(image_, false, static_cast<uint32_t>(sector_));
      if (!loop_->Ok()) {
        error_ = "no loop device";
        return;
      }
      std::vector<std::string> argv = gpt;
      argv.push_back(Disk());
      table = test::Run(argv);
      if (table.status == 0) table = test::Run({"partx", "-a", Disk()});
    } else if (plan.gpt) {
      std::vector<std::string> argv = gpt;
      argv.push_back(image_.string());
      table = test::Run(argv);
    } else {
      const uint64_t sectors = plan.partitionMiB == 0 ? plan.diskMiB * kMiB / sector_ - Start()
                                                      : plan.partitionMiB * kMiB / sector_;
      table = test::Shell("echo 'start=" + start + ", size=" + std::to_string(sectors) +
                          ", type=7' | sfdisk --quiet " + test::Quote(image_.string()));
    }
    if (table.status != 0) {
      error_ = "partition table: " + table.output;
      return;
    }
    if (!loop_) loop_ = std::make_unique<test::LoopDevice>(image_);
    if (!loop_->Ok()) {
      error_ = "no loop device";
      return;
    }
    const CommandResult made = test::Run({"mkntfs", "--fast", "--quiet", "--force", "--label",
                                          "stow-split", "--partition-start", start, Volume()});
    if (made.status != 0) {
      error_ = "mkntfs: " + made.output;
      return;
    }
    test::NtfsMount mount(Volume(), false);
    if (!mount.Ok()) {
      error_ = "mount: " + mount.Error();
      return;
    }
    const path root = mount.Path();
    uint32_t seed = 1;
    for (uint64_t i = 0; i < plan.fillerMiB; ++i)
      WriteFile(root / "filler" / std::to_string(i), kMiB, seed++);
    // Kept: large and small files, a nested folder, a file of one byte.
    for (uint64_t i = 0; i < plan.keptMiB / 4; ++i) {
      WriteFile(root / "data" / ("big" + std::to_string(i) + ".bin"), 3 * kMiB + 12345, seed++);
    }
    for (int i = 0; i < 200; ++i) {
      WriteFile(root / "data" / "small" / ("f" + std::to_string(i) + ".txt"), 700 + 97 * i, seed++);
    }
    WriteFile(root / "data" / "deep" / "a" / "b" / "c" / "one", 1, seed++);
    for (uint64_t i = 0; i < plan.leftMiB; ++i)
      WriteFile(root / "left" / std::to_string(i), kMiB, seed++);
    std::error_code ec;
    std::filesystem::remove_all(root / "filler", ec);
    if (!mount.Unmount()) error_ = "unmount: " + mount.Error();
  }

  const std::string& Error() const { return error_; }
  uint64_t Sector() const { return sector_; }
  // The partition's first sector: 1 MiB into the disk.
  uint64_t Start() const { return kMiB / sector_; }
  // The size of the EFI system partition the script makes on this disk.
  uint64_t EspSectors() const { return (sector_ == kLargeSector ? 260 : 100) * kMiB / sector_; }
  const std::string& Disk() const { return loop_->Device(); }
  std::string Volume() const { return loop_->Partition(1); }
  std::string Esp() const { return loop_->Partition(2); }
  int DiskNumber() const {
    int number = -1;
    const std::string name = Disk().substr(Disk().rfind('/') + 1);
    return platform::DiskNumberOfName(name, number) ? number : -1;
  }
  uint64_t VolumeMiB() const {
    const CommandResult r = test::Run({"blockdev", "--getsize64", Volume()});
    return r.status == 0 ? std::stoull(r.output) / kMiB : 0;
  }
  // The script's four arguments for this volume.
  std::vector<std::string> Arguments() const {
    return {std::to_string(DiskNumber()), "1", std::to_string(VolumeMiB()), Volume()};
  }
  test::TreeSnapshot Snapshot() const {
    test::NtfsMount mount(Volume(), true, test::kTreeMountOptions);
    test::TreeSnapshot snapshot;
    if (!mount.Ok()) {
      snapshot.errors.push_back("mount: " + mount.Error());
      return snapshot;
    }
    snapshot = test::SnapshotTree(mount.Path());
    mount.Unmount();
    return snapshot;
  }

 private:
  test::TempDir dir_;
  path image_;
  std::unique_ptr<test::LoopDevice> loop_;
  uint64_t sector_ = kSmallSector;
  std::string error_;
};

CommandResult RunScript(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"bash", SplitPartitionScriptPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return test::Run(argv);
}

// Runs the script with the system's `program` replaced, for this run only (a
// private mount namespace), by `replacement`, a file of the given mode.
CommandResult RunScriptWithStandIn(const std::string& program, const std::string& replacement,
                                   mode_t mode, const std::vector<std::string>& args) {
  std::string real;
  if (platform::ResolveProgram(program, real) != 0) return {-1, program + " is not installed"};
  test::TempDir dir;
  const path standIn = dir / program;
  {
    std::ofstream out(standIn);
    out << replacement;
  }
  ::chmod(standIn.c_str(), mode);
  std::vector<std::string> argv{"unshare",
                                "--mount",
                                "--propagation",
                                "private",
                                "sh",
                                "-c",
                                "mount --bind \"$1\" \"$2\" && shift 2 && exec \"$@\"",
                                "sh",
                                standIn.string(),
                                real,
                                "bash",
                                SplitPartitionScriptPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return test::Run(argv);
}

// One partition of `sgdisk --info`: its type GUID, first and last sector.
struct GptEntry {
  std::string type;
  uint64_t first = 0;
  uint64_t last = 0;
};

GptEntry GptInfo(const std::string& disk, int number) {
  const CommandResult r = test::Run({"sgdisk", "--info=" + std::to_string(number), disk});
  GptEntry entry;
  std::smatch m;
  if (std::regex_search(r.output, m, std::regex(R"(Partition GUID code: ([0-9A-F-]+))"))) {
    entry.type = m[1];
  }
  if (std::regex_search(r.output, m, std::regex(R"(First sector: (\d+))"))) {
    entry.first = std::stoull(m[1]);
  }
  if (std::regex_search(r.output, m, std::regex(R"(Last sector: (\d+))"))) {
    entry.last = std::stoull(m[1]);
  }
  return entry;
}

// The bytes the kernel gives a partition now.
uint64_t KernelBytes(const std::string& partition) {
  std::ifstream in("/sys/class/block/" + partition.substr(partition.rfind('/') + 1) + "/size");
  uint64_t sectors = 0;  // always in units of 512 bytes
  in >> sectors;
  return sectors * 512;
}

// The NTFS volume's sector count from its boot sector.
uint64_t NtfsSectors(const std::string& volume) {
  std::ifstream in(volume, std::ios::binary);
  unsigned char bytes[8] = {};
  in.seekg(0x28);
  in.read(reinterpret_cast<char*>(bytes), sizeof bytes);
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

// Everything a finished split promises about the disk.
void ExpectSplitDone(const SplitDisk& disk, const test::TreeSnapshot& before, uint64_t oldSectors) {
  const GptEntry esp = GptInfo(disk.Disk(), 2);
  EXPECT_EQ(esp.type, kEspTypeGuid);
  EXPECT_EQ(esp.last - esp.first + 1, disk.EspSectors());
  EXPECT_EQ(esp.first % (kMiB / disk.Sector()), 0u) << "the EFI system partition starts on a MiB";
  const CommandResult print = test::Run({"sgdisk", "--print", disk.Disk()});
  EXPECT_TRUE(std::regex_search(print.output, std::regex(R"(\n\s+2\s+\d+\s+\d+\s+.*EF00)")))
      << print.output;
  EXPECT_EQ(test::Run({"blkid", "-p", "-o", "value", "-s", "TYPE", disk.Esp()}).output, "vfat\n");
  const CommandResult fsck = test::Run({"fsck.fat", "-n", disk.Esp()});
  EXPECT_EQ(fsck.status, 0) << fsck.output;

  // The volume: same number, same start, type and name; shrunk no further
  // than the EFI system partition needs, and never below its file system.
  const GptEntry ntfs = GptInfo(disk.Disk(), 1);
  EXPECT_EQ(ntfs.type, kNtfsTypeGuid);
  EXPECT_EQ(ntfs.first, disk.Start());
  const uint64_t sectors = ntfs.last - ntfs.first + 1;
  EXPECT_LT(sectors, oldSectors);
  EXPECT_GE(sectors + esp.last - esp.first + 1 + kMiB / disk.Sector(), oldSectors);
  EXPECT_EQ(esp.first, ntfs.last + 1);
  EXPECT_EQ(KernelBytes(disk.Volume()), sectors * disk.Sector()) << "the system was told";
  EXPECT_LT(NtfsSectors(disk.Volume()), sectors);
  const CommandResult fix = test::Run({"ntfsfix", "--no-action", disk.Volume()});
  EXPECT_EQ(fix.status, 0) << fix.output;
  EXPECT_TRUE(test::Run({"sgdisk", "--verify", disk.Disk()}).output.find("No problems found") !=
              std::string::npos);

  const test::TreeSnapshot after = disk.Snapshot();
  EXPECT_TRUE(after.errors.empty()) << after.errors.front();
  EXPECT_GT(after.entries.size(), 200u);
  const auto differences = test::CompareSnapshots(before, after);
  EXPECT_TRUE(differences.empty()) << test::DifferencesText(differences);
}

TEST(SplitPartition, ShrinksTheVolumeAndMakesAFat32EfiPartitionBehindIt) {
  STOW_REQUIRE_SPLIT();
  // The kept files are written behind 120 MiB that are then deleted, so the
  // shrink has to move them out of the room it gives up.
  SplitDisk disk(DiskPlan{.diskMiB = 240, .fillerMiB = 120});
  ASSERT_TRUE(disk.Error().empty()) << disk.Error();
  const CommandResult dryRun =
      test::Run({"ntfsresize", "--no-action", "--size",
                 std::to_string((disk.VolumeMiB() - 102) * kMiB), disk.Volume()});
  std::smatch moved;
  ASSERT_TRUE(
      std::regex_search(dryRun.output, moved, std::regex(R"(Needed relocations : (\d+))")) &&
      std::stoull(moved[1]) > 0)
      << "the shrink must move files: " << dryRun.output;
  const test::TreeSnapshot before = disk.Snapshot();
  ASSERT_TRUE(before.errors.empty()) << before.errors.front();
  const GptEntry old = GptInfo(disk.Disk(), 1);

  const CommandResult r = RunScript(disk.Arguments());
  ASSERT_EQ(r.status, ToInt(kSplitDone)) << r.output;
  EXPECT_TRUE(std::regex_search(r.output, std::regex("gave up .* " + disk.Esp())) &&
              std::count(r.output.begin(), r.output.end(), '\n') == 1)
      << "one line naming the new partition: " << r.output;
  ExpectSplitDone(disk, before, old.last - old.first + 1);

  // Run again: the disk has its EFI system partition; nothing changes.
  const std::string hash = Sha256Of(disk.Disk());
  const std::vector<std::string> args = {std::to_string(disk.DiskNumber()), "1",
                                         std::to_string(disk.VolumeMiB()), disk.Volume()};
  const CommandResult again = RunScript(args);
  EXPECT_EQ(again.status, ToInt(kSplitDone)) << again.output;
  EXPECT_NE(again.output.find("already has an EFI system partition"), std::string::npos);
  EXPECT_EQ(Sha256Of(disk.Disk()), hash);
}

TEST(SplitPartition, OnADiskOf4096ByteSectorsTheEfiPartitionHoldsEnoughClustersForFat32) {
  STOW_REQUIRE_SPLIT();
  SplitDisk disk(DiskPlan{.sectorSize = kLargeSector, .diskMiB = 420});
  ASSERT_TRUE(disk.Error().empty()) << disk.Error();
  const test::TreeSnapshot before = disk.Snapshot();
  ASSERT_TRUE(before.errors.empty()) << before.errors.front();
  const GptEntry old = GptInfo(disk.Disk(), 1);

  const CommandResult r = RunScript(disk.Arguments());
  ASSERT_EQ(r.status, ToInt(kSplitDone)) << r.output;
  ExpectSplitDone(disk, before, old.last - old.first + 1);
  EXPECT_NE(test::Run({"blkid", "-p", disk.Esp()}).output.find("BLOCK_SIZE=\"4096\""),
            std::string::npos);
}

TEST(SplitPartition, UsesUnallocatedRoomBehindTheVolumeWithoutShrinkingIt) {
  STOW_REQUIRE_SPLIT();
  SplitDisk disk(DiskPlan{.diskMiB = 300, .partitionMiB = 150});
  ASSERT_TRUE(disk.Error().empty()) << disk.Error();
  const std::string volumeHash = Sha256Of(disk.Volume());
  const GptEntry old = GptInfo(disk.Disk(), 1);

  const CommandResult r = RunScript(disk.Arguments());
  ASSERT_EQ(r.status, ToInt(kSplitDone)) << r.output;
  EXPECT_NE(r.output.find("unallocated room"), std::string::npos) << r.output;
  const GptEntry ntfs = GptInfo(disk.Disk(), 1);
  EXPECT_EQ(ntfs.first, old.first);
  EXPECT_EQ(ntfs.last, old.last);
  EXPECT_EQ(Sha256Of(disk.Volume()), volumeHash) << "the volume was not touched";
  EXPECT_EQ(GptInfo(disk.Disk(), 2).type, kEspTypeGuid);
  EXPECT_EQ(test::Run({"blkid", "-p", "-o", "value", "-s", "TYPE", disk.Esp()}).output, "vfat\n");
}

// A refusal: the status and words expected, one line, and the disk unchanged.
void ExpectRefused(const SplitDisk& disk, const CommandResult& r, SplitResult status,
                   const std::string& words, const std::string& hashBefore) {
  EXPECT_EQ(r.status, ToInt(status)) << r.output;
  EXPECT_NE(r.output.find(words), std::string::npos) << r.output;
  EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
  EXPECT_EQ(Sha256Of(disk.Disk()), hashBefore) << "the disk changed: " << r.output;
}

TEST(SplitPartition, AnMbrDiskIsRefusedUnchanged) {
  STOW_REQUIRE_SPLIT();
  SplitDisk disk(DiskPlan{.gpt = false});
  ASSERT_TRUE(disk.Error().empty()) << disk.Error();
  const std::string hash = Sha256Of(disk.Disk());
  ExpectRefused(disk, RunScript(disk.Arguments()), kSplitNotGpt, "has an MBR partition table",
                hash);
}

TEST(SplitPartition, AMountedVolumeIsRefusedUnchanged) {
  STOW_REQUIRE_SPLIT();
  SplitDisk disk(DiskPlan{});
  ASSERT_TRUE(disk.Error().empty()) << disk.Error();
  const std::string hash = Sha256Of(disk.Disk());
  CommandResult r;
  {
    test::NtfsMount mount(disk.Volume(), true);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    r = RunScript(disk.Arguments());
    EXPECT_NE(r.output.find("is mounted on " + mount.Path().string()), std::string::npos)
        << r.output;
  }
  ExpectRefused(disk, r, kSplitInUse, "unmount it", hash);
}

TEST(SplitPartition, AVolumeWithoutRoomIsRefusedUnchanged) {
  STOW_REQUIRE_SPLIT();
  // 140 MiB, of which about 105 MiB hold files: far less than the 100 MiB needed is free.
  SplitDisk disk(DiskPlan{.diskMiB = 150, .partitionMiB = 140, .leftMiB = 80});
  ASSERT_TRUE(disk.Error().empty()) << disk.Error();
  const std::string hash = Sha256Of(disk.Disk());
  ExpectRefused(disk, RunScript(disk.Arguments()), kSplitNoRoom, "has not enough free space", hash);
}

TEST(SplitPartition, ArgumentsThatDoNotDescribeTheVolumeAreRefusedUnchanged) {
  STOW_REQUIRE_SPLIT();
  SplitDisk disk(DiskPlan{});
  ASSERT_TRUE(disk.Error().empty()) << disk.Error();
  const std::string hash = Sha256Of(disk.Disk());
  const std::vector<std::string> good = disk.Arguments();
  const std::string diskNumber = good[0];
  const std::string size = good[2];
  const std::string volume = good[3];
  const std::string otherSize = std::to_string(std::stoull(size) + 5);
  const struct {
    std::vector<std::string> args;
    SplitResult status;
    std::string words;
  } cases[] = {
      {{diskNumber, "1", size}, kSplitUsage, "expected 4 arguments, got 3"},
      {{diskNumber, "1", size, volume, "x"}, kSplitUsage, "expected 4 arguments, got 5"},
      {{"-1", "1", size, volume}, kSplitUsage, "the disk number '-1' is not a number"},
      {{diskNumber, "0", size, volume}, kSplitUsage, "the partition number '0'"},
      {{diskNumber, "1", "12x", volume}, kSplitUsage, "the size '12x'"},
      {{diskNumber, "1", size, "C"}, kSplitUsage, "is not a device path"},
      {{diskNumber, "1", size, "dev/sdb1"}, kSplitUsage, "is not a device path"},
      {{diskNumber, "1", size, "/dev/null"}, kSplitNotTheVolume, "is not a block device"},
      {{diskNumber, "2", size, volume}, kSplitNotTheVolume, "not partition 2"},
      {{"0", "1", size, volume}, kSplitNotTheVolume, "not on disk 0"},
      {{diskNumber, "1", otherSize, volume}, kSplitNotTheVolume, "not " + otherSize + " MiB"},
      {{diskNumber, "1", size, disk.Disk()}, kSplitNotTheVolume, "is not a partition"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ExpectRefused(disk, RunScript(c.args), c.status, c.words, hash);
  }
}

TEST(SplitPartition, AMissingToolOrARefusingNtfsresizeChangesNothing) {
  STOW_REQUIRE_SPLIT();
  SplitDisk disk(DiskPlan{});
  ASSERT_TRUE(disk.Error().empty()) << disk.Error();
  const std::string hash = Sha256Of(disk.Disk());
  // Not executable: as if it were not installed.
  ExpectRefused(disk, RunScriptWithStandIn("ntfsresize", "", 0644, disk.Arguments()),
                kSplitToolMissing, "ntfsresize is missing: install the package ntfs-3g", hash);
  ExpectRefused(disk, RunScriptWithStandIn("mkfs.fat", "", 0644, disk.Arguments()),
                kSplitToolMissing, "install the package dosfstools", hash);
  // ntfsresize refuses the volume, as it does one marked for a disk check.
  const std::string refusing =
      "#!/bin/sh\necho 'ntfsresize v2022.10.3 (libntfs-3g)'\n"
      "echo 'ERROR: Volume is scheduled for check.'\necho 'Run chkdsk /f and please try again, "
      "or see option -f.'\nexit 1\n";
  ExpectRefused(disk, RunScriptWithStandIn("ntfsresize", refusing, 0755, disk.Arguments()),
                kSplitNotShrinkable,
                "ntfsresize refuses " + disk.Volume() +
                    ": ERROR: Volume is scheduled for check.; nothing was changed",
                hash);
}

// Runs the script with `program` failing every call but those whose arguments
// contain one of `passing` (its checks and dry runs); then, with a fresh list's
// values, once more as it is. Both runs' answers.
std::pair<CommandResult, CommandResult> FailOnceThenRunAgain(const SplitDisk& disk,
                                                             const std::string& program,
                                                             const std::string& passing,
                                                             const test::TreeSnapshot& before) {
  std::string real;
  if (platform::ResolveProgram(program, real) != 0) return {};
  test::TempDir dir;
  const path copy = dir / (program + ".real");
  std::filesystem::copy_file(real, copy);
  const std::string failing = "#!/bin/sh\ncase \"$*\" in " + passing + ") exec " + copy.string() +
                              " \"$@\" ;; esac\necho 'Problem writing the disk' " + ">&2\nexit 4\n";
  CommandResult failed = RunScriptWithStandIn(program, failing, 0755, disk.Arguments());
  // Whatever had been done, the volume reads as before.
  const auto differences = test::CompareSnapshots(before, disk.Snapshot());
  EXPECT_TRUE(differences.empty()) << test::DifferencesText(differences);
  return {failed, RunScript(disk.Arguments())};
}

TEST(SplitPartition, AFailureAfterTheShrinkKeepsEveryFileAndASecondRunFinishes) {
  STOW_REQUIRE_SPLIT();
  SplitDisk disk(DiskPlan{});
  ASSERT_TRUE(disk.Error().empty()) << disk.Error();
  const test::TreeSnapshot before = disk.Snapshot();
  ASSERT_TRUE(before.errors.empty()) << before.errors.front();
  const GptEntry old = GptInfo(disk.Disk(), 1);

  // sgdisk checks and plans as usual but cannot write the new partition: the
  // volume is left shrunk, file system and partition, with room behind it.
  const auto [failed, again] =
      FailOnceThenRunAgain(disk, "sgdisk", "*--pretend*|*--verify*", before);
  EXPECT_EQ(failed.status, ToInt(kSplitFailedMidway)) << failed.output;
  EXPECT_NE(failed.output.find("keeps all its files: run again"), std::string::npos)
      << failed.output;
  // The second run finds the room behind the volume and finishes there.
  ASSERT_EQ(again.status, ToInt(kSplitDone)) << again.output;
  EXPECT_NE(again.output.find("unallocated room"), std::string::npos) << again.output;
  ExpectSplitDone(disk, before, old.last - old.first + 1);
}

TEST(SplitPartition, AFailureBetweenFileSystemAndPartitionKeepsEveryFileAndASecondRunFinishes) {
  STOW_REQUIRE_SPLIT();
  SplitDisk disk(DiskPlan{});
  ASSERT_TRUE(disk.Error().empty()) << disk.Error();
  const test::TreeSnapshot before = disk.Snapshot();
  ASSERT_TRUE(before.errors.empty()) << before.errors.front();
  const GptEntry old = GptInfo(disk.Disk(), 1);

  // sfdisk reads and plans as usual but cannot write the smaller partition: the
  // file system is shrunk inside a partition of the old size.
  const auto [failed, again] = FailOnceThenRunAgain(disk, "sfdisk", "*--dump*|*--no-act*", before);
  EXPECT_EQ(failed.status, ToInt(kSplitFailedMidway)) << failed.output;
  EXPECT_NE(failed.output.find("was shrunk but its partition could not be"), std::string::npos)
      << failed.output;
  // The second run only shrinks the partition (ntfsresize, which marked the
  // volume for a check, would now refuse it) and finishes.
  ASSERT_EQ(again.status, ToInt(kSplitDone)) << again.output;
  EXPECT_NE(again.output.find("gave up room"), std::string::npos) << again.output;
  ExpectSplitDone(disk, before, old.last - old.first + 1);
}

// The volume's record as the inventory lists it now.
discovery::PartitionInfo InventoryRecord(const std::string& volume) {
  discovery::PartitionList list;
  discovery::RefreshPartitionList(list);
  for (const auto& r : list) {
    if (r.volumeName == volume) return r;
  }
  return {};
}

TEST(SplitPartitionRunner, SplitsTheInventorysRecordAndTheDiskThenHasAFatVolume) {
  STOW_REQUIRE_SPLIT();
  SplitDisk disk(DiskPlan{});
  ASSERT_TRUE(disk.Error().empty()) << disk.Error();
  const test::TreeSnapshot before = disk.Snapshot();
  const GptEntry old = GptInfo(disk.Disk(), 1);
  const discovery::PartitionInfo record = InventoryRecord(disk.Volume());
  ASSERT_EQ(record.volumeName, disk.Volume());
  ASSERT_EQ(record.partitionStyle, platform::kStyleGpt);
  ASSERT_EQ(record.gptFatFlag, discovery::kGptFatAbsent);

  test::LogCapture log;
  const SplitOutcome outcome = SplitPartition(record);
  ASSERT_TRUE(outcome.Done()) << outcome.exitCode << ": " << outcome.message;
  EXPECT_NE(outcome.message.find(disk.Esp()), std::string::npos) << outcome.message;
  EXPECT_EQ(log.Count("run success " + SplitPartitionScriptPath() + "  ,parame " +
                      std::to_string(record.diskNumber) + " 1 " +
                      std::to_string(record.totalBytes / kMiB) + " " + disk.Volume()),
            1)
      << log.All();
  ExpectSplitDone(disk, before, old.last - old.first + 1);

  // What the copy and restore pages look at next: the same volume, now on a
  // GPT disk that carries a FAT volume.
  const discovery::PartitionInfo after = InventoryRecord(disk.Volume());
  EXPECT_EQ(after.partitionNumber, 1u);
  EXPECT_EQ(after.fileSystemName, "NTFS");
  EXPECT_EQ(after.gptFatFlag, discovery::kGptFatPresent);
}

TEST(SplitPartitionRunner, ReportsTheScriptsRefusalAndLeavesTheDiskUnchanged) {
  STOW_REQUIRE_SPLIT();
  SplitDisk disk(DiskPlan{});
  ASSERT_TRUE(disk.Error().empty()) << disk.Error();
  const discovery::PartitionInfo record = InventoryRecord(disk.Volume());
  ASSERT_EQ(record.volumeName, disk.Volume());
  const std::string hash = Sha256Of(disk.Disk());
  {
    test::NtfsMount mount(disk.Volume(), true);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    const SplitOutcome outcome = SplitPartition(record);
    EXPECT_TRUE(outcome.ran);
    EXPECT_EQ(outcome.exitCode, ToInt(kSplitInUse));
    EXPECT_NE(outcome.message.find("is mounted on"), std::string::npos) << outcome.message;
  }
  // A task of this program reads the volume: the split is not even started.
  std::shared_ptr<platform::TaskLock> reading;
  ASSERT_EQ(
      platform::LockVolumeForTask(disk.Volume(), platform::LockMode::kShared, reading, nullptr), 0);
  const SplitOutcome busy = SplitPartition(record);
  EXPECT_FALSE(busy.ran);
  EXPECT_NE(busy.message.find("in use by another task"), std::string::npos) << busy.message;
  reading.reset();
  EXPECT_EQ(Sha256Of(disk.Disk()), hash);
}

TEST(SplitPartitionRunner, AMissingScriptIsReportedWithoutRunningAnything) {
  test::TempDir dir;
  discovery::PartitionInfo record;
  record.volumeName = "/dev/loop7p2";
  record.diskNumber = 1007;
  record.partitionNumber = 2;
  record.totalBytes = 5 * kMiB + 1;
  EXPECT_EQ(SplitPartitionParameters(record),
            (std::vector<std::string>{"1007", "2", "5", "/dev/loop7p2"}));
  test::LogCapture log;
  const SplitOutcome outcome = SplitPartition(record, dir.Path().string());
  EXPECT_FALSE(outcome.ran);
  EXPECT_NE(outcome.message.find("is missing beside the program"), std::string::npos);
  EXPECT_EQ(log.Count("run " + (dir / "AssistSplitPartition.sh").string() + " fail ,error=0x2"), 1)
      << log.All();
}

}  // namespace
}  // namespace stow::tasks
