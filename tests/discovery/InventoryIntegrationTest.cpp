// The inventory on real disks: MBR and GPT disk images attached as loop devices,
// their volumes made by mkntfs and mkfs.vfat, checked against what sfdisk, blkid,
// ntfsinfo and the ntfs-3g driver say about the same devices.
//
// Other tests may attach loop devices at the same time: only the volumes of the
// loop devices attached here are looked at.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "discovery/Inventory.h"
#include "discovery/NtfsVolume.h"
#include "discovery/PartitionListModel.h"
#include "platform/DiskNumbers.h"
#include "platform/MemoryBlockDevice.h"
#include "support/Enums.h"
#include "tests/testlib/DiskFixtures.h"
#include "tests/testlib/TestUtil.h"

namespace stow::discovery {
namespace {

using test::CommandResult;
using test::DiskFixture;
using test::LoopDevice;
using test::NtfsMount;
using test::Run;
namespace fs = std::filesystem;
using enum platform::PartitionStyle;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kWholeDiskMiB = 16;
constexpr const char* kWholeLabel = "stow-whole";
constexpr uint32_t kWholeClusterSize = 2048;
constexpr uint32_t kLogicalClusterSize = 8192;
constexpr uint32_t kGptNtfsClusterSize = 65536;
constexpr uint64_t kFillBytes = 3 * kMiB;

std::vector<std::string> Tools() {
  std::vector<std::string> tools = test::DiskFixtureTools();
  tools.insert(tools.end(), {"blkid", "ntfsinfo", "ntfs-3g", "losetup", "partx", "python3"});
  return tools;
}

// One disk image attached with its partitions.
struct Attached {
  DiskFixture fixture;
  std::unique_ptr<LoopDevice> loop;
  uint8_t expectedGptFat = kGptFatUnknown;
};

struct Environment {
  test::TempDir dir;
  Attached mbr;
  Attached gptEfi;
  Attached gptNtfs;
  std::unique_ptr<LoopDevice> whole;  // NTFS on the whole device, no partition table
  std::unique_ptr<LoopDevice> blank;  // neither a table nor a file system
  std::string error;
};

std::string Mkntfs(const std::string& device, const std::string& label, uint32_t clusterSize) {
  const CommandResult r = Run({"mkntfs", "--fast", "--force", "--quiet", "-c",
                               std::to_string(clusterSize), "-L", label, device});
  return r.status == 0 ? "" : "mkntfs on " + device + " failed: " + r.output;
}

std::string Attach(Attached& disk) {
  if (!disk.fixture.Ok()) return disk.fixture.error;
  disk.loop = std::make_unique<LoopDevice>(disk.fixture.image);
  return disk.loop->Ok() ? "" : "losetup of " + disk.fixture.image.string() + " failed";
}

// Writes a file through the ntfs-3g driver so that the volume's bitmap has more
// in use than a fresh volume.
std::string Fill(const std::string& device) {
  NtfsMount mount(device, false);
  if (!mount.Ok()) return "ntfs-3g mount of " + device + " failed: " + mount.Error();
  {
    std::ofstream out(mount.Path() / "payload.bin", std::ios::binary);
    std::string block(kMiB, '\x5a');
    for (uint64_t i = 0; i < kFillBytes / kMiB; ++i) out.write(block.data(), kMiB);
  }
  return mount.Unmount() ? "" : "unmounting " + device + " failed";
}

std::string Build(Environment& env) {
  env.mbr.fixture = test::MakeMbrMixedDisk(env.dir.Path());
  env.gptEfi.fixture = test::MakeGptDisk(env.dir.Path());
  env.gptEfi.expectedGptFat = kGptFatPresent;
  env.gptNtfs.fixture = test::MakeGptNtfsDisk(env.dir.Path());
  env.gptNtfs.expectedGptFat = kGptFatAbsent;
  for (Attached* disk : {&env.mbr, &env.gptEfi, &env.gptNtfs}) {
    const std::string error = Attach(*disk);
    if (!error.empty()) return error;
  }
  // Cluster sizes other than mkntfs's default, and a volume with data on it.
  std::string error = Mkntfs(env.mbr.loop->Partition(6), "stow-mbr6", kLogicalClusterSize);
  if (error.empty()) {
    error = Mkntfs(env.gptNtfs.loop->Partition(2), "stow-gpta2", kGptNtfsClusterSize);
  }
  if (error.empty()) error = Fill(env.mbr.loop->Partition(1));
  if (!error.empty()) return error;

  const fs::path wholeImage = env.dir / "whole.img";
  test::MakeSparseFile(wholeImage, kWholeDiskMiB * kMiB);
  error = Mkntfs(wholeImage.string(), kWholeLabel, kWholeClusterSize);
  if (!error.empty()) return error;
  env.whole = std::make_unique<LoopDevice>(wholeImage, false);
  const fs::path blankImage = env.dir / "blank.img";
  test::MakeSparseFile(blankImage, kWholeDiskMiB * kMiB);
  env.blank = std::make_unique<LoopDevice>(blankImage, false);
  if (!env.whole->Ok() || !env.blank->Ok()) return "losetup of a whole-disk image failed";
  return {};
}

// --- What the independent tools say -------------------------------------------------

std::map<std::string, std::string> Blkid(const std::string& device) {
  std::map<std::string, std::string> values;
  std::istringstream lines(Run({"blkid", "-p", "-o", "export", device}).output);
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

std::string ExpectedFileSystem(const std::map<std::string, std::string>& blkid) {
  const auto type = blkid.find("TYPE");
  if (type == blkid.end()) return "";
  if (type->second == "ntfs") return "NTFS";
  if (type->second == "vfat")
    return blkid.count("VERSION") && blkid.at("VERSION") == "FAT32" ? "FAT32" : "FAT";
  return type->second;
}

struct SfdiskPartition {
  std::string node;
  uint64_t start = 0;
  std::string type;
};

// sfdisk's own view of the table: its label ("dos", "gpt") and partitions.
std::string Sfdisk(const std::string& device, std::vector<SfdiskPartition>& parts) {
  const std::string script =
      "import json,sys\n"
      "t=json.load(sys.stdin)['partitiontable']\n"
      "print(t['label'])\n"
      "for p in t['partitions']: print(p['node'], p['start'], p['type'])\n";
  const CommandResult r =
      test::Shell("sfdisk --json " + test::Quote(device) + " | python3 -c " + test::Quote(script));
  std::istringstream lines(r.output);
  std::string label;
  std::getline(lines, label);
  for (SfdiskPartition p; lines >> p.node >> p.start >> p.type;) parts.push_back(p);
  return label;
}

uint64_t NtfsinfoField(const std::string& device, const std::string& field) {
  std::istringstream lines(Run({"ntfsinfo", "-m", device}).output);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(field + ":");
    if (at != std::string::npos) return std::stoull(line.substr(at + field.size() + 1));
  }
  return 0;
}

int PartitionNumberOf(const std::string& node, const std::string& loop) {
  return std::stoi(node.substr(loop.size() + 1));  // "/dev/loop3p5" after "/dev/loop3"
}

// --- The suite ----------------------------------------------------------------------

// The records of the volumes on `device` (a whole loop device), in list order.
PartitionList VolumesOf(const PartitionList& list, const std::string& device) {
  PartitionList mine;
  for (const PartitionInfo& r : list) {
    if (r.volumeName == device || r.volumeName.starts_with(device + "p")) mine.push_back(r);
  }
  return mine;
}

class InventoryIntegration : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    missing_ = test::MissingForIntegration(Tools(), true, true);
    if (!missing_.empty()) return;
    env_ = std::make_unique<Environment>();
    env_->error = Build(*env_);
  }
  static void TearDownTestSuite() { env_.reset(); }

  void SetUp() override {
    if (!missing_.empty()) GTEST_SKIP() << missing_;
    ASSERT_TRUE(env_->error.empty()) << env_->error;
  }

  static PartitionList Refresh() {
    PartitionList list;
    RefreshPartitionList(list);
    return list;
  }

  static inline std::string missing_;
  static inline std::unique_ptr<Environment> env_;
};

void CheckDisk(const Attached& disk, const PartitionList& list) {
  const std::string device = disk.loop->Device();
  SCOPED_TRACE(device);
  std::vector<SfdiskPartition> parts;
  const std::string label = Sfdisk(device, parts);
  ASSERT_TRUE(label == "dos" || label == "gpt") << label;
  ASSERT_FALSE(parts.empty());
  const PartitionList mine = VolumesOf(list, device);

  size_t next = 0;  // the records follow the partition numbers in order
  for (const SfdiskPartition& p : parts) {
    SCOPED_TRACE(p.node);
    const int number = PartitionNumberOf(p.node, device);
    if (p.type == "f" || p.type == "5") {
      for (const PartitionInfo& r : mine) EXPECT_NE(r.volumeName, p.node) << "extended listed";
      continue;
    }
    ASSERT_LT(next, mine.size());
    const PartitionInfo& r = mine[next++];
    ASSERT_EQ(r.volumeName, p.node);
    EXPECT_EQ(r.partitionNumber, static_cast<uint32_t>(number));
    EXPECT_EQ(r.startSector, p.start);
    EXPECT_EQ(r.partitionStyle, label == "dos" ? kStyleMbr : kStyleGpt);
    EXPECT_EQ(r.deviceType, kDeviceTypeDisk);
    std::string diskPath;
    EXPECT_TRUE(platform::ResolveDiskNumber(r.diskNumber, diskPath));
    EXPECT_EQ(diskPath, device);
    // A loop device's number is fixed by its own index, whatever else is attached.
    EXPECT_EQ(r.diskNumber, platform::kLoopDiskNumberBase +
                                std::stoi(device.substr(std::string("/dev/loop").size())));
    const uint8_t kind = label == "gpt" ? kMbrKindUnknown
                         : number <= 4  ? kMbrKindPrimary
                                        : kMbrKindLogical;
    EXPECT_EQ(r.mbrKind, kind);
    EXPECT_EQ(r.gptFatFlag, label == "gpt" ? disk.expectedGptFat : kGptFatUnknown);

    const auto blkid = Blkid(p.node);
    EXPECT_EQ(r.fileSystemName, ExpectedFileSystem(blkid));
    EXPECT_EQ(r.volumeLabel, blkid.count("LABEL") ? blkid.at("LABEL") : "");
    const bool ntfs = r.fileSystemName == "NTFS";
    EXPECT_EQ(r.bytesPerCluster, ntfs ? NtfsinfoField(p.node, "Cluster Size") : 0);
    EXPECT_TRUE(r.mountPath.empty());
    EXPECT_EQ(r.systemVolume, 0);
    if (ntfs) {
      // Not mounted: the sizes come from the boot sector and the bitmap.
      EXPECT_EQ(r.totalBytes, NtfsinfoField(p.node, "Volume Size in Clusters") * r.bytesPerCluster);
      EXPECT_EQ(r.totalFreeBytes, NtfsinfoField(p.node, "Free Clusters") * r.bytesPerCluster);
      EXPECT_EQ(r.freeBytesAvailable, r.totalFreeBytes);
      EXPECT_LT(r.totalFreeBytes, r.totalBytes);
    }
  }
  EXPECT_EQ(next, mine.size()) << "volumes listed that sfdisk does not know";
}

TEST_F(InventoryIntegration, EveryPartitionMatchesSfdiskBlkidAndNtfsinfo) {
  const PartitionList list = Refresh();
  CheckDisk(env_->mbr, list);
  CheckDisk(env_->gptEfi, list);
  CheckDisk(env_->gptNtfs, list);

  // The kinds and flags the controllers rely on, spelled out once.
  const PartitionList mbr = VolumesOf(list, env_->mbr.loop->Device());
  ASSERT_EQ(mbr.size(), 4u);
  EXPECT_EQ(mbr[1].fileSystemName, "FAT32");
  EXPECT_EQ(mbr[1].volumeLabel, "STOWFAT2");
  EXPECT_EQ(mbr[1].bytesPerCluster, 0u);
  EXPECT_EQ(mbr[3].bytesPerCluster, kLogicalClusterSize);
  EXPECT_EQ(mbr[3].mbrKind, kMbrKindLogical);
  const PartitionList gpt = VolumesOf(list, env_->gptNtfs.loop->Device());
  ASSERT_EQ(gpt.size(), 2u);
  EXPECT_EQ(gpt[1].bytesPerCluster, kGptNtfsClusterSize);
  EXPECT_EQ(gpt[0].gptFatFlag, kGptFatAbsent);
  EXPECT_EQ(VolumesOf(list, env_->gptEfi.loop->Device()).at(0).fileSystemName, "FAT32");
}

TEST_F(InventoryIntegration, WholeDiskFileSystemIsAVolumeAndABlankDiskIsNot) {
  const PartitionList list = Refresh();
  const PartitionList whole = VolumesOf(list, env_->whole->Device());
  ASSERT_EQ(whole.size(), 1u);
  const PartitionInfo& r = whole[0];
  EXPECT_EQ(r.volumeName, env_->whole->Device());
  EXPECT_EQ(r.partitionNumber, 0u);
  EXPECT_EQ(r.startSector, 0u);
  EXPECT_EQ(r.partitionStyle, kStyleRaw);
  EXPECT_EQ(r.bytesPerCluster, kWholeClusterSize);
  EXPECT_EQ(r.volumeLabel, kWholeLabel);
  EXPECT_EQ(r.mbrKind, kMbrKindUnknown);
  EXPECT_EQ(r.gptFatFlag, kGptFatUnknown);
  std::string diskPath;
  ASSERT_TRUE(platform::ResolveDiskNumber(r.diskNumber, diskPath));
  EXPECT_EQ(diskPath, env_->whole->Device());
  EXPECT_TRUE(VolumesOf(list, env_->blank->Device()).empty());
}

TEST_F(InventoryIntegration, TwoRefreshesGiveEqualListsInTheSameOrder) {
  const PartitionList first = Refresh();
  const PartitionList second = Refresh();
  for (const std::string& device : {env_->mbr.loop->Device(), env_->gptEfi.loop->Device(),
                                    env_->gptNtfs.loop->Device(), env_->whole->Device()}) {
    const PartitionList a = VolumesOf(first, device);
    EXPECT_FALSE(a.empty()) << device;
    EXPECT_EQ(a, VolumesOf(second, device)) << device;
  }
}

// The free space of an unmounted NTFS volume is counted in its bitmap; once the
// ntfs-3g driver mounts it, the driver's figures are taken. Both must agree.
TEST_F(InventoryIntegration, UnmountedNtfsSpaceAgreesWithTheMountedDriver) {
  const std::string volume = env_->mbr.loop->Partition(1);
  const PartitionList before = VolumesOf(Refresh(), env_->mbr.loop->Device());
  ASSERT_FALSE(before.empty());
  const PartitionInfo& unmounted = before[0];
  ASSERT_EQ(unmounted.volumeName, volume);
  // The payload is in use: at least its size less than the volume.
  EXPECT_LE(unmounted.totalFreeBytes + kFillBytes, unmounted.totalBytes);

  NtfsMount mount(volume, true);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  struct statvfs st {};
  ASSERT_EQ(::statvfs(mount.Path().c_str(), &st), 0);
  EXPECT_EQ(unmounted.totalFreeBytes, uint64_t{st.f_bfree} * st.f_frsize);
  EXPECT_EQ(unmounted.totalBytes, uint64_t{st.f_blocks} * st.f_frsize);

  const PartitionList during = VolumesOf(Refresh(), env_->mbr.loop->Device());
  ASSERT_FALSE(during.empty());
  const PartitionInfo& mounted = during[0];
  EXPECT_EQ(mounted.mountPath, mount.Path().string());
  EXPECT_EQ(mounted.totalFreeBytes, unmounted.totalFreeBytes);
  EXPECT_EQ(mounted.totalBytes, unmounted.totalBytes);
  EXPECT_NE(mounted.fileSystemFlags & 0x00080000u, 0u) << "mounted read-only";
  EXPECT_EQ(mounted.bytesPerCluster, unmounted.bytesPerCluster);
  EXPECT_EQ(mounted.systemVolume, 0);
  EXPECT_TRUE(mount.Unmount());
}

TEST_F(InventoryIntegration, ListCommandShowsTheSameVolumes) {
  const CommandResult cli = test::RunCli({"list", "--json"});
  ASSERT_EQ(cli.status, 0) << cli.output;
  const fs::path json = env_->dir / "list.json";
  std::ofstream(json) << cli.output;
  const std::string script =
      "import json,sys\n"
      "for v in json.load(open(sys.argv[1]))['volumes']:\n"
      "  if v['device'].startswith(sys.argv[2]):\n"
      "    print(v['device'], v['hd'].replace(' ','_'), v['partitionNumber'], v['startSector'],"
      " v['clusterSize'], v['style'], v['mbrKind'], v['gptFat'], v['system'])\n";
  const PartitionList list = Refresh();
  for (const Attached* disk : {&env_->mbr, &env_->gptEfi}) {
    const std::string device = disk->loop->Device();
    const CommandResult r = test::Run({"python3", "-c", script, json.string(), device + "p"});
    ASSERT_EQ(r.status, 0) << r.output;
    const PartitionList mine = VolumesOf(list, device);
    std::ostringstream expected;
    CPartitionListViewAdapter model;
    model.SetRows(mine, true);
    for (int i = 0; i < model.GetCount(); ++i) {
      const PartitionInfo& v = mine[static_cast<size_t>(i)];
      std::string hd = model.BindRow(i).hdNumber;
      std::replace(hd.begin(), hd.end(), ' ', '_');
      expected << v.volumeName << ' ' << hd << ' ' << v.partitionNumber << ' ' << v.startSector
               << ' ' << v.bytesPerCluster << ' ' << ToInt(v.partitionStyle) << ' '
               << int{v.mbrKind} << ' ' << int{v.gptFatFlag} << ' ' << int{v.systemVolume} << '\n';
    }
    EXPECT_EQ(r.output, expected.str());
  }
}

}  // namespace
}  // namespace stow::discovery
