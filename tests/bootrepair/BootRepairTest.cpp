// The boot repair on real disks attached as loop devices: the boot partition
// choice over an inventory, the active flag (a primary partition, a logical
// one, a GPT disk), and the whole repair on an MBR and on a GPT disk, with an
// empty template folder and with a store the editor cannot open too. Results
// are read back with sfdisk, ntfs-3g, mtools and hivexget.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <thread>

#include "bootrepair/BootRepair.h"
#include "discovery/PartitionInfo.h"
#include "platform/System.h"
#include "support/Enums.h"
#include "tasks/RepairSteps.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/WindowsDisks.h"

namespace stow::test {
namespace {

using bootrepair::RepairParams;
using discovery::PartitionInfo;

constexpr uint64_t kNtfsMiB = 24;

// --- The boot partition choice ------------------------------------------------

PartitionInfo Volume(const std::string& name, int disk, uint32_t number,
                     platform::PartitionStyle style, uint8_t kind, const std::string& fileSystem) {
  PartitionInfo info;
  info.volumeName = name;
  info.diskNumber = disk;
  info.partitionNumber = number;
  info.partitionStyle = style;
  info.mbrKind = kind;
  info.fileSystemName = fileSystem;
  return info;
}

TEST(BootPartitionChoice, FollowsTheDestinationsDiskAndStyle) {
  using namespace discovery;
  using enum platform::PartitionStyle;
  const discovery::PartitionList list = {
      Volume("/dev/sda1", 0, 1, kStyleGpt, kMbrKindUnknown, "FAT32"),  // another disk's ESP
      Volume("/dev/sdb1", 1, 1, kStyleGpt, kMbrKindUnknown, "NTFS"),
      Volume("/dev/sdb2", 1, 2, kStyleGpt, kMbrKindUnknown, "FAT32"),
      Volume("/dev/sdb3", 1, 3, kStyleGpt, kMbrKindUnknown, "FAT"),
      Volume("/dev/sdc5", 2, 5, kStyleMbr, kMbrKindLogical, "NTFS"),
      Volume("/dev/sdc2", 2, 2, kStyleMbr, kMbrKindPrimary, "NTFS"),
      Volume("/dev/sdc1", 2, 1, kStyleMbr, kMbrKindPrimary, "NTFS"),
      Volume("/dev/sdd1", 3, 1, kStyleRaw, kMbrKindUnknown, "NTFS"),
      Volume("/dev/sde5", 4, 5, kStyleMbr, kMbrKindLogical, "NTFS"),
      Volume("/dev/md0", kNoDiskNumber, 0, kStyleMbr, kMbrKindPrimary, "NTFS"),
  };
  const auto choose = [&](const std::string& destination) {
    const PartitionInfo* boot = tasks::ChooseBootPartition(list, platform::VolumeId(destination));
    return boot ? boot->volumeName : std::string("none");
  };
  EXPECT_EQ(choose("/dev/sdb1"), "/dev/sdb2") << "the first FAT partition of the same disk";
  EXPECT_EQ(choose("/dev/sdc2"), "/dev/sdc2") << "a primary destination boots itself";
  EXPECT_EQ(choose("/dev/sdc5"), "/dev/sdc2") << "the first primary partition in list order";
  EXPECT_EQ(choose("/dev/sde5"), "none") << "a disk without a primary partition";
  EXPECT_EQ(choose("/dev/sdd1"), "none") << "neither MBR nor GPT";
  EXPECT_EQ(choose("/dev/md0"), "none") << "on no single disk";
  EXPECT_EQ(choose("/dev/sdz9"), "none") << "not in the list";
}

// --- Disks on loop devices, built once for the binary ---------------------------

class Disks {
 public:
  static Disks& Get() {
    static Disks disks;
    return disks;
  }
  WindowsDisk* Mbr(std::string& error) { return Build(mbr_, true, error); }
  WindowsDisk* Gpt(std::string& error) { return Build(gpt_, false, error); }

 private:
  WindowsDisk* Build(std::unique_ptr<WindowsDisk>& disk, bool mbr, std::string& error) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!disk) {
      disk = std::make_unique<WindowsDisk>(mbr ? MakeWindowsMbrDisk(dir_.Path(), kNtfsMiB)
                                               : MakeWindowsGptDisk(dir_.Path(), kNtfsMiB));
    }
    error = disk->error;
    return disk->Ok() ? disk.get() : nullptr;
  }

  std::mutex lock_;
  TempDir dir_;
  std::unique_ptr<WindowsDisk> mbr_;
  std::unique_ptr<WindowsDisk> gpt_;
};

std::vector<std::byte> SectorZero(const std::string& disk) {
  std::ifstream in(disk, std::ios::binary);
  std::vector<char> bytes(512);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  std::vector<std::byte> out;
  for (const char c : bytes) out.push_back(static_cast<std::byte>(c));
  return out;
}

// The nodes sfdisk shows as bootable.
std::vector<std::string> Bootable(const std::string& disk) {
  SfdiskTable table;
  EXPECT_EQ(ReadSfdisk(disk, table), "");
  std::vector<std::string> nodes;
  for (const SfdiskPartition& p : table.partitions) {
    if (p.bootable) nodes.push_back(p.node);
  }
  return nodes;
}

// Places the boot file set and, on an MBR disk, marks the boot partition
// active, as the course's "boot files" and "activation" steps do.
bootrepair::BootRepairResult Repair(const WindowsDisk& disk, int boot, int system,
                                    platform::PartitionStyle style,
                                    const bootrepair::BootRepairOptions& options = {}) {
  RepairParams params;
  params.bootPartition = platform::VolumeId(disk.Node(boot));
  params.destination = platform::VolumeId(disk.Node(system));
  params.partitionStyle = style;
  const bootrepair::BootRepairResult placed = bootrepair::PlaceBootFileSet(params, options);
  // Files in place whose stores point elsewhere: the partition is still made active.
  if (placed != bootrepair::BootRepairResult::kOk &&
      placed != bootrepair::BootRepairResult::kStoresNotSet) {
    return placed;
  }
  if (style == platform::kStyleMbr &&
      bootrepair::ActivateBootPartition(params.bootPartition.DevicePath()) !=
          bootrepair::ActivateResult::kOk) {
    return bootrepair::BootRepairResult::kActivateFailed;
  }
  return placed;
}

class BootRepairDisks : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> tools = WindowsDiskTools();
    STOW_REQUIRE(tools, true, true);
    // The templates are made at build time beside the test programs.
    if (!fs::exists(fs::path(platform::ProgramDirectory()) / "BCDFile" / "Boot" / "BCD")) {
      GTEST_SKIP() << "the BCD templates were not built beside the tests";
    }
  }
};

TEST_F(BootRepairDisks, ActivatesPrimariesOnlyAndNeverTouchesAGptDisk) {
  LogCapture log;
  std::string error;
  WindowsDisk* mbr = Disks::Get().Mbr(error);
  ASSERT_NE(mbr, nullptr) << error;
  const std::string device = mbr->loop->Device();
  EXPECT_EQ(bootrepair::ActivateBootPartition(mbr->Node(2)), bootrepair::ActivateResult::kOk);
  EXPECT_EQ(Bootable(device), (std::vector<std::string>{mbr->Node(2)}));
  EXPECT_EQ(log.Count("set :" + mbr->Node(2) + " part : 1 active"), 1);

  const std::vector<std::byte> before = SectorZero(device);
  EXPECT_EQ(bootrepair::ActivateBootPartition(mbr->Node(5)), bootrepair::ActivateResult::kNoEntry);
  EXPECT_EQ(log.Count("set :" + mbr->Node(5) + " active fail !"), 1);
  EXPECT_EQ(SectorZero(device), before);

  EXPECT_EQ(bootrepair::ActivateBootPartition(mbr->Node(1)), bootrepair::ActivateResult::kOk);
  EXPECT_EQ(Bootable(device), (std::vector<std::string>{mbr->Node(1)}));

  EXPECT_EQ(bootrepair::ActivateBootPartition("/dev/no-such-partition"),
            bootrepair::ActivateResult::kOpenFailed);
  EXPECT_EQ(log.Count("When setting active partition,open /dev/no-such-partition failed"), 1);

  WindowsDisk* gpt = Disks::Get().Gpt(error);
  ASSERT_NE(gpt, nullptr) << error;
  const std::vector<std::byte> protective = SectorZero(gpt->loop->Device());
  EXPECT_EQ(bootrepair::ActivateBootPartition(gpt->Node(2)), bootrepair::ActivateResult::kNoEntry);
  EXPECT_EQ(SectorZero(gpt->loop->Device()), protective);
}

TEST_F(BootRepairDisks, APrimaryBehindTheExtendedEntryIsActivatedInItsOwnSlot) {
  // Slots: 1 primary, 2 extended, 3 primary. The table listing leaves out the
  // extended entry, so the third primary is the second entry listed; marking
  // by list position would flag the extended entry instead.
  TempDir dir;
  const fs::path image = dir / "slots.img";
  MakeSparseFile(image, 16ull << 20);
  const CommandResult table = Shell(
      "printf 'label: dos\\nstart=2048, size=4096, type=7\\nstart=6144, size=8192, type=f\\n"
      "start=14336, size=4096, type=7\\nstart=8192, size=2048, type=7\\n' | sfdisk --quiet " +
      Quote(image.string()));
  ASSERT_EQ(table.status, 0) << table.output;
  LoopDevice loop(image);
  ASSERT_TRUE(loop.Ok());
  EXPECT_EQ(bootrepair::ActivateBootPartition(loop.Partition(3)), bootrepair::ActivateResult::kOk);
  EXPECT_EQ(Bootable(loop.Device()), (std::vector<std::string>{loop.Partition(3)}));
  EXPECT_EQ(bootrepair::ActivateBootPartition(loop.Partition(5)),
            bootrepair::ActivateResult::kNoEntry);
  EXPECT_EQ(Bootable(loop.Device()), (std::vector<std::string>{loop.Partition(3)}));
}

TEST_F(BootRepairDisks, MbrRepairPlacesTheSetPointsTheStoresAndActivates) {
  std::string error;
  WindowsDisk* mbr = Disks::Get().Mbr(error);
  ASSERT_NE(mbr, nullptr) << error;
  const bootrepair::BootRepairResult result = Repair(*mbr, 2, 1, platform::kStyleMbr);
  EXPECT_EQ(result, bootrepair::BootRepairResult::kOk);
  EXPECT_EQ(Bootable(mbr->loop->Device()), (std::vector<std::string>{mbr->Node(2)}));
  EXPECT_EQ(CheckBootPartition(mbr->Node(2), false,
                               ExpectedPartitionDevice(mbr->table, mbr->Node(1)), true),
            "");
}

TEST_F(BootRepairDisks, ALogicalBootPartitionGetsTheFilesButFailsWithTwo) {
  LogCapture log;
  std::string error;
  WindowsDisk* mbr = Disks::Get().Mbr(error);
  ASSERT_NE(mbr, nullptr) << error;
  const std::vector<std::byte> before = SectorZero(mbr->loop->Device());
  const bootrepair::BootRepairResult result = Repair(*mbr, 5, 1, platform::kStyleMbr);
  EXPECT_EQ(result, bootrepair::BootRepairResult::kActivateFailed);
  EXPECT_EQ(SectorZero(mbr->loop->Device()), before);
  EXPECT_EQ(log.Count("Change BCD finish! part style 0"), 1);
  EXPECT_EQ(log.Count("set :" + mbr->Node(5) + " active fail !"), 1);
  EXPECT_EQ(CheckBootPartition(mbr->Node(5), false,
                               ExpectedPartitionDevice(mbr->table, mbr->Node(1)), true),
            "");
}

TEST_F(BootRepairDisks, AnEmptyTemplateFolderPlacesNoStoreButStillActivates) {
  std::string error;
  WindowsDisk* mbr = Disks::Get().Mbr(error);
  ASSERT_NE(mbr, nullptr) << error;
  // A fresh boot partition, so that no store of an earlier repair is there.
  ASSERT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", mbr->Node(2)}).status, 0);
  ASSERT_EQ(bootrepair::ActivateBootPartition(mbr->Node(1)), bootrepair::ActivateResult::kOk);
  TempDir program;
  fs::create_directory(program / bootrepair::kBootFileSetFolder);
  bootrepair::BootRepairOptions options;
  options.programDirectory = program.Path().string();
  const bootrepair::BootRepairResult result = Repair(*mbr, 2, 1, platform::kStyleMbr, options);
  EXPECT_EQ(result, bootrepair::BootRepairResult::kOk);
  EXPECT_EQ(Bootable(mbr->loop->Device()), (std::vector<std::string>{mbr->Node(2)}));
  EXPECT_EQ(CheckBootPartition(mbr->Node(2), false, {}, false), "");
}

TEST_F(BootRepairDisks, AStoreThatCannotBePointedFailsWithFourButStillActivates) {
  LogCapture log;
  std::string error;
  WindowsDisk* mbr = Disks::Get().Mbr(error);
  ASSERT_NE(mbr, nullptr) << error;
  ASSERT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", mbr->Node(2)}).status, 0);
  ASSERT_EQ(bootrepair::ActivateBootPartition(mbr->Node(1)), bootrepair::ActivateResult::kOk);
  // The store copies, but is no hive the editor can open.
  TempDir program;
  fs::create_directories(program / bootrepair::kBootFileSetFolder / "Boot");
  std::ofstream(program / bootrepair::kBootFileSetFolder / "Boot" / "BCD") << "not a hive";
  bootrepair::BootRepairOptions options;
  options.programDirectory = program.Path().string();
  const bootrepair::BootRepairResult result = Repair(*mbr, 2, 1, platform::kStyleMbr, options);
  EXPECT_EQ(result, bootrepair::BootRepairResult::kStoresNotSet);
  EXPECT_EQ(log.Count("still points at its old device"), 1) << log.All();
  EXPECT_EQ(Bootable(mbr->loop->Device()), (std::vector<std::string>{mbr->Node(2)}));
}

TEST_F(BootRepairDisks, GptRepairFillsTheEfiPartitionAndLeavesSectorZero) {
  LogCapture log;
  std::string error;
  WindowsDisk* gpt = Disks::Get().Gpt(error);
  ASSERT_NE(gpt, nullptr) << error;
  const std::vector<std::byte> protective = SectorZero(gpt->loop->Device());
  const bootrepair::BootRepairResult result = Repair(*gpt, 1, 2, platform::kStyleGpt);
  EXPECT_EQ(result, bootrepair::BootRepairResult::kOk);
  EXPECT_EQ(log.Count("Change BCD finish! part style 1"), 1);
  EXPECT_EQ(SectorZero(gpt->loop->Device()), protective);
  EXPECT_EQ(CheckBootPartition(gpt->Node(1), true,
                               ExpectedPartitionDevice(gpt->table, gpt->Node(2)), true),
            "");
}

}  // namespace
}  // namespace stow::test
