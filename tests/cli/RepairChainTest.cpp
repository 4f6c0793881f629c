// stowline-cli copy and restore of a Windows installation onto another
// partition of an MBR disk and of a GPT disk, with the whole chain after the
// engine: the disk check, the drive-letter fix-up of the copy's SYSTEM hive
// and the boot repair. Everything is checked with independent readers:
// hivexget and hivexsh for the hive and the stores, sfdisk for the table and
// its active flag, ntfs-3g and mtools for the files, ntfsinfo for the check.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "tests/testlib/DiskFixtures.h"
#include "tests/testlib/TestUtil.h"
#include "tests/testlib/WindowsDisks.h"
#include "tests/testlib/WindowsFixture.h"

namespace stow::test {
namespace {

constexpr uint64_t kNtfsMiB = 32;
constexpr const char* kCopyCompleted = "The copy is completed.";
constexpr const char* kRestorationCompleted = "The restoration is completed.";
constexpr const char* kPlainCopy = "The partition is copied successfully.";
constexpr const char* kCheckingDisk = "Checking disk, please wait...";
constexpr const char* kCopyingBcd = "Copying BCD, please wait...";

std::vector<std::byte> Bytes(const std::string& text) {
  std::vector<std::byte> out;
  for (const char c : text) out.push_back(static_cast<std::byte>(c));
  return out;
}

std::vector<std::byte> SectorZero(const std::string& disk) {
  std::ifstream in(disk, std::ios::binary);
  std::string bytes(512, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return Bytes(bytes);
}

std::vector<std::string> Bootable(const std::string& disk) {
  SfdiskTable table;
  EXPECT_EQ(ReadSfdisk(disk, table), "");
  std::vector<std::string> nodes;
  for (const SfdiskPartition& p : table.partitions) {
    if (p.bootable) nodes.push_back(p.node);
  }
  return nodes;
}

// The drive letters of the SYSTEM hive on `volume` as hivexsh lists them, and
// the C: entry as hivexget gives it.
struct HiveLetters {
  std::vector<MountedDevicesEntry> entries;
  std::vector<std::byte> c;
  std::string error;
};

HiveLetters ReadLetters(const std::string& volume) {
  HiveLetters out;
  TempDir scratch;
  const fs::path hive = scratch / "SYSTEM";
  {
    NtfsMount mount(volume, true);
    if (!mount.Ok()) {
      out.error = "cannot mount " + volume + ": " + mount.Error();
      return out;
    }
    std::error_code ec;
    fs::copy_file(mount.Path() / "Windows" / "System32" / "config" / "SYSTEM", hive, ec);
    if (ec) {
      out.error = "no hive on " + volume;
      return out;
    }
  }
  out.error = ReadMountedDevicesWithHivexsh(hive, out.entries);
  const CommandResult c = Run({"hivexget", hive.string(), "\\MountedDevices", "\\DosDevices\\C:"});
  if (c.status == 0) out.c = Bytes(c.output);
  return out;
}

// The letters that name `identifier`.
std::vector<std::string> LettersNaming(const HiveLetters& letters,
                                       const std::vector<std::byte>& identifier) {
  std::vector<std::string> names;
  for (const MountedDevicesEntry& e : letters.entries) {
    if (e.name.find("DosDevices") != std::string::npos && e.data == identifier) {
      names.push_back(e.name);
    }
  }
  return names;
}

class RepairChainCli : public ::testing::Test {
 protected:
  void SetUp() override {
    STOW_REQUIRE(WindowsDiskTools(), true, true);
    STOW_REQUIRE((std::vector<std::string>{"ntfsinfo"}), false, false);
  }

  // Backs the installation up; the image records the letter that the
  // installation's own hive gives its volume (C:), which the restore moves.
  static void BackUpInstallation(const std::string& volume, const fs::path& image) {
    const CommandResult r = RunCli({"backup", volume, image.string(), "--yes", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.output;
    std::ifstream file(image, std::ios::binary);
    char letter = 0;
    file.get(letter);
    ASSERT_TRUE(file.good());
    EXPECT_EQ(letter, 'C');
  }

  // The hive of `destination` names it as C: and by no other letter.
  static void ExpectLettersMoved(const WindowsDisk& disk, const std::string& destination) {
    const std::vector<std::byte> id = ExpectedIdentifier(disk.table, destination);
    const HiveLetters letters = ReadLetters(destination);
    ASSERT_EQ(letters.error, "");
    EXPECT_EQ(HexBytes(letters.c), HexBytes(id));
    EXPECT_EQ(LettersNaming(letters, id), (std::vector<std::string>{"\\DosDevices\\C:"}));
  }

  // The check left the destination clean: ntfsinfo refuses a volume marked for checking.
  static void ExpectClean(const std::string& destination) {
    const CommandResult info = test::Run({"ntfsinfo", "-m", destination});
    EXPECT_EQ(info.status, 0) << info.output;
  }

  TempDir dir_;
};

TEST_F(RepairChainCli, MbrCopyAndRestoreOfAWindowsInstallation) {
  const WindowsDisk disk = MakeWindowsMbrDisk(dir_.Path(), kNtfsMiB);
  ASSERT_TRUE(disk.Ok()) << disk.error;
  const std::string system = disk.Node(1);
  const std::string copy = disk.Node(2);
  const std::string restore = disk.Node(5);

  // Without the chain the copy keeps the source's letters and the flags.
  CommandResult r = RunCli({"copy", system, copy, "--yes", "--quiet", "--no-repair"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(kPlainCopy), std::string::npos) << r.output;
  HiveLetters untouched = ReadLetters(copy);
  ASSERT_EQ(untouched.error, "");
  EXPECT_EQ(HexBytes(untouched.c), HexBytes(ExpectedIdentifier(disk.table, system)));
  EXPECT_EQ(Bootable(disk.loop->Device()), (std::vector<std::string>{system}));

  // The copy onto the primary partition 2: it becomes its own boot partition.
  r = RunCli({"copy", system, copy, "--yes"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(kCheckingDisk), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(kCopyingBcd), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(kCopyCompleted), std::string::npos) << r.output;
  ExpectLettersMoved(disk, copy);
  EXPECT_EQ(CheckBootPartition(copy, false, ExpectedPartitionDevice(disk.table, copy), true), "");
  EXPECT_EQ(Bootable(disk.loop->Device()), (std::vector<std::string>{copy}));
  ExpectClean(copy);

  // The restore onto the logical partition 5: the boot files go to the
  // disk's first primary partition, which becomes the active one.
  const fs::path image = dir_ / "system.vmg";
  ASSERT_NO_FATAL_FAILURE(BackUpInstallation(system, image));
  r = RunCli({"restore", image.string(), restore, "--yes", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(kRestorationCompleted), std::string::npos) << r.output;
  ExpectLettersMoved(disk, restore);
  EXPECT_EQ(CheckBootPartition(system, false, ExpectedPartitionDevice(disk.table, restore), true),
            "");
  EXPECT_EQ(Bootable(disk.loop->Device()), (std::vector<std::string>{system}));
  ExpectClean(restore);
}

TEST_F(RepairChainCli, GptCopyAndRestoreOfAWindowsInstallation) {
  const WindowsDisk disk = MakeWindowsGptDisk(dir_.Path(), kNtfsMiB);
  ASSERT_TRUE(disk.Ok()) << disk.error;
  const std::string esp = disk.Node(1);
  const std::string system = disk.Node(2);
  const std::string copy = disk.Node(3);
  const std::string restore = disk.Node(4);
  const std::vector<std::byte> protective = SectorZero(disk.loop->Device());

  CommandResult r = RunCli({"copy", system, copy, "--yes", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(kCopyCompleted), std::string::npos) << r.output;
  ExpectLettersMoved(disk, copy);
  EXPECT_EQ(CheckBootPartition(esp, true, ExpectedPartitionDevice(disk.table, copy), true), "");
  EXPECT_EQ(SectorZero(disk.loop->Device()), protective);
  ExpectClean(copy);

  const fs::path image = dir_ / "system.vmg";
  ASSERT_NO_FATAL_FAILURE(BackUpInstallation(system, image));
  r = RunCli({"restore", image.string(), restore, "--yes", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(kRestorationCompleted), std::string::npos) << r.output;
  ExpectLettersMoved(disk, restore);
  EXPECT_EQ(CheckBootPartition(esp, true, ExpectedPartitionDevice(disk.table, restore), true), "");
  EXPECT_EQ(SectorZero(disk.loop->Device()), protective);
  ExpectClean(restore);
}

// The layout of many Windows 10 disks: a reserved partition and a data
// partition, no EFI system partition. A copy or a restore asks to split one
// off (or takes --yes), splits it off behind the destination, writes, and
// places the boot files on the new FAT32 partition; refused, it changes nothing.
class GptWithoutEsp {
 public:
  explicit GptWithoutEsp(const fs::path& dir) {
    fs::create_directories(dir);
    DiskFixtureOptions options;
    options.ntfsMiB = 160;  // room for the 100 MiB EFI system partition and the system
    layout_ = MakeGptNtfsDisk(dir, options);
    if (!layout_.Ok()) return;
    // Partition 1 becomes the reserved partition Windows puts before its own.
    if (test::Run({"sgdisk", "--typecode=1:0c01", layout_.image.string()}).status != 0) return;
    loop_ = std::make_unique<LoopDevice>(layout_.image);
  }
  bool Ok() const { return loop_ && loop_->Ok(); }
  std::string Destination() const { return loop_->Partition(2); }
  std::string Table() const { return test::Run({"sfdisk", "--dump", loop_->Device()}).output; }

  // The new partition 3 is an EFI system partition whose boot files point at
  // the destination.
  void ExpectBootable() const {
    const CommandResult esp = test::Run({"sgdisk", "--info=3", loop_->Device()});
    EXPECT_NE(esp.output.find("C12A7328-F81F-11D2-BA4B-00A0C93EC93B"), std::string::npos)
        << esp.output;
    SfdiskTable table;
    ASSERT_EQ(ReadSfdisk(loop_->Device(), table), "");
    EXPECT_EQ(CheckBootPartition(loop_->Partition(3), true,
                                 ExpectedPartitionDevice(table, Destination()), true),
              "");
  }

 private:
  DiskFixture layout_;
  std::unique_ptr<LoopDevice> loop_;
};

TEST_F(RepairChainCli, AGptDiskWithoutAnEfiPartitionGetsOneSplitOffFirst) {
  const WindowsDisk source = MakeWindowsMbrDisk(dir_.Path(), kNtfsMiB);
  ASSERT_TRUE(source.Ok()) << source.error;
  GptWithoutEsp copyDisk(dir_ / "copy");
  ASSERT_TRUE(copyDisk.Ok());
  const std::string before = copyDisk.Table();

  CommandResult r = RunCli({"copy", source.Node(1), copyDisk.Destination(), "--quiet"});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("--yes"), std::string::npos) << r.output;
  EXPECT_EQ(copyDisk.Table(), before) << "a refusal splits nothing";

  r = RunCli({"copy", source.Node(1), copyDisk.Destination(), "--yes", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(kCopyCompleted), std::string::npos) << r.output;
  copyDisk.ExpectBootable();
  ExpectClean(copyDisk.Destination());

  const fs::path image = dir_ / "system.vmg";
  ASSERT_NO_FATAL_FAILURE(BackUpInstallation(source.Node(1), image));
  GptWithoutEsp restoreDisk(dir_ / "restore");
  ASSERT_TRUE(restoreDisk.Ok());
  r = RunCli({"restore", image.string(), restoreDisk.Destination(), "--yes", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(kRestorationCompleted), std::string::npos) << r.output;
  restoreDisk.ExpectBootable();
  ExpectClean(restoreDisk.Destination());
}

}  // namespace
}  // namespace stow::test
