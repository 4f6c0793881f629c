// The registry fix-up and the BCD editor on real partitions: MBR and GPT disk
// images attached as loop devices, NTFS volumes reached through ntfs-3g, and
// every result checked with independent readers (sfdisk for the tables,
// hivexsh and hivexget for the hives).
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>

#include "bootrepair/BcdStore.h"
#include "bootrepair/Registry.h"
#include "platform/PartitionParent.h"
#include "tests/testlib/DiskFixtures.h"
#include "tests/testlib/TestUtil.h"
#include "tests/testlib/WindowsFixture.h"

namespace stow::bootrepair {
namespace {

namespace fs = std::filesystem;
using platform::VolumeId;
using test::DiskFixture;
using test::LoopDevice;
using test::NtfsMount;
using test::Quote;
using test::Shell;
using test::TempDir;

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// The partition's start as sfdisk reads the image's table.
uint64_t SfdiskStart(const fs::path& image, int number) {
  const std::string json = Shell("sfdisk --json " + Quote(image.string())).output;
  const std::regex entry("\"node\": \"" + image.string() + std::to_string(number) +
                         "\",\\s*\"start\": (\\d+)");
  std::smatch m;
  if (!std::regex_search(json, m, entry)) return 0;
  return std::stoull(m[1]);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

struct Disks {
  TempDir dir;
  DiskFixture mbr;
  DiskFixture gpt;
  std::unique_ptr<LoopDevice> mbrLoop;
  std::unique_ptr<LoopDevice> gptLoop;
};
Disks* g_disks = nullptr;

class RegistryOnDisks : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::MissingForIntegration(Tools(), true, true).empty()) return;
    g_disks = new Disks;
    g_disks->mbr = test::MakeMbrLogicalDisk(g_disks->dir.Path());
    g_disks->gpt = test::MakeGptDisk(g_disks->dir.Path());
    if (g_disks->mbr.Ok()) g_disks->mbrLoop = std::make_unique<LoopDevice>(g_disks->mbr.image);
    if (g_disks->gpt.Ok()) g_disks->gptLoop = std::make_unique<LoopDevice>(g_disks->gpt.image);
  }
  static void TearDownTestSuite() {
    delete g_disks;
    g_disks = nullptr;
  }
  static std::vector<std::string> Tools() {
    std::vector<std::string> tools = test::DiskFixtureTools();
    tools.insert(tools.end(), {"ntfs-3g", "hivexsh", "hivexget", "sfdisk", "losetup", "partx"});
    return tools;
  }
  void SetUp() override {
    STOW_REQUIRE(Tools(), true, true);
    ASSERT_NE(g_disks, nullptr);
    ASSERT_TRUE(g_disks->mbr.Ok()) << g_disks->mbr.error;
    ASSERT_TRUE(g_disks->gpt.Ok()) << g_disks->gpt.error;
    ASSERT_TRUE(g_disks->mbrLoop->Ok());
    ASSERT_TRUE(g_disks->gptLoop->Ok());
  }
  static VolumeId Mbr(int n) { return VolumeId(g_disks->mbrLoop->Partition(n)); }
  static VolumeId Gpt(int n) { return VolumeId(g_disks->gptLoop->Partition(n)); }
  static VolumeIdentifier Identifier(const VolumeId& volume) {
    VolumeIdentifier id;
    EXPECT_EQ(ComputeVolumeIdentifier(volume, id), kLocateOk) << volume.DevicePath();
    return id;
  }

  // Places a SYSTEM hive at Windows/system32/config/SYSTEM (the folder in the
  // lower case some installations use) on an NTFS partition.
  static void PlaceHive(const VolumeId& volume,
                        const std::vector<test::MountedDevicesEntry>& entries) {
    TempDir work;
    ASSERT_EQ(test::WriteSystemHive(work / "SYSTEM", entries), "");
    NtfsMount mount(volume.DevicePath(), false);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    const fs::path config = mount.Path() / "Windows" / "system32" / "config";
    fs::create_directories(config);
    fs::copy_file(work / "SYSTEM", config / "SYSTEM", fs::copy_options::overwrite_existing);
    ASSERT_TRUE(mount.Unmount());
  }
  static std::map<std::string, VolumeIdentifier> HiveOn(const VolumeId& volume) {
    TempDir work;
    {
      NtfsMount mount(volume.DevicePath(), true);
      EXPECT_TRUE(mount.Ok()) << mount.Error();
      fs::copy_file(mount.Path() / "Windows" / "system32" / "config" / "SYSTEM", work / "SYSTEM");
    }
    std::vector<test::MountedDevicesEntry> entries;
    EXPECT_EQ(test::ReadMountedDevicesWithHivexsh(work / "SYSTEM", entries), "");
    std::map<std::string, VolumeIdentifier> out;
    for (auto& e : entries) out[e.name] = e.data;
    return out;
  }
  // The fix-up's private mount of `volume` is gone once it returns.
  static void ExpectNotMounted(const VolumeId& volume) {
    std::ifstream in("/proc/self/mountinfo");
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all.find(" " + volume.DevicePath() + " "), std::string::npos)
        << volume.DevicePath() << " is still mounted";
  }
};

TEST_F(RegistryOnDisks, IdentifiersFollowThePartitionTablesAsSfdiskReadsThem) {
  const fs::path& mbrImage = g_disks->mbr.image;
  for (const int n : {1, 5, 6}) {
    PartitionLocation location;
    ASSERT_EQ(LocatePartition(Mbr(n), location), kLocateOk) << n;
    EXPECT_EQ(location.style, platform::kStyleMbr);
    EXPECT_EQ(location.mbrSignature, 0x5713e001u);
    EXPECT_EQ(Trim(Shell("sfdisk --disk-id " + Quote(mbrImage.string())).output), "0x5713e001");
    const uint64_t start = SfdiskStart(mbrImage, n);
    ASSERT_NE(start, 0u);
    EXPECT_EQ(location.byteOffset, start * 512) << "partition " << n;
    EXPECT_EQ(MountedDevicesIdentifier(location), MbrVolumeIdentifier(0x5713e001, start * 512));
  }
  const fs::path& gptImage = g_disks->gpt.image;
  const std::string diskId = Trim(Shell("sfdisk --disk-id " + Quote(gptImage.string())).output);
  for (const int n : {2, 3}) {
    PartitionLocation location;
    ASSERT_EQ(LocatePartition(Gpt(n), location), kLocateOk) << n;
    EXPECT_EQ(location.style, platform::kStyleGpt);
    EXPECT_EQ(engine::GuidToString(location.diskGuid), Upper(diskId));
    const std::string partUuid = Trim(
        Shell("sfdisk --part-uuid " + Quote(gptImage.string()) + " " + std::to_string(n)).output);
    EXPECT_EQ(engine::GuidToString(location.partitionGuid), Upper(partUuid));
    const VolumeIdentifier id = MountedDevicesIdentifier(location);
    ASSERT_EQ(id.size(), kGptIdentifierSize);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(id.data()), 8), "DMIO:ID:");
    EXPECT_EQ(location.byteOffset, SfdiskStart(gptImage, n) * 512);
  }
  // What is no partition of a disk has no identifier.
  PartitionLocation none;
  EXPECT_EQ(LocatePartition(VolumeId(g_disks->mbrLoop->Device()), none), kLocateNoParentDisk);
  EXPECT_EQ(LocatePartition(VolumeId(mbrImage.string()), none), kLocateNoParentDisk);
  platform::PartitionPlacement placement;
  EXPECT_EQ(platform::QueryPartitionPlacement(mbrImage.string(), placement), ENOTBLK);
  ASSERT_EQ(platform::QueryPartitionPlacement(Mbr(5).DevicePath(), placement), 0);
  EXPECT_EQ(placement.diskPath, g_disks->mbrLoop->Device());
  EXPECT_EQ(placement.partitionNumber, 5u);
}

TEST_F(RegistryOnDisks, ACopiedSystemTakesOverTheSourceLetter) {
  // Copy from the primary partition 1 onto the logical partition 5: the copy's
  // hive names partition 1 as C: and its own volume as E:.
  const VolumeIdentifier source = Identifier(Mbr(1));
  const VolumeIdentifier destination = Identifier(Mbr(5));
  PlaceHive(Mbr(5), test::TypicalMountedDevices(source, destination));
  ASSERT_TRUE(FixMountedDevices(Mbr(1), 0, Mbr(5)));
  ExpectNotMounted(Mbr(5));
  auto hive = HiveOn(Mbr(5));
  EXPECT_EQ(hive["\\DosDevices\\C:"], destination);
  EXPECT_EQ(hive.count("\\DosDevices\\E:"), 0u);
  EXPECT_EQ(Shell("ntfsfix --no-action " + Quote(Mbr(5).DevicePath())).status, 0)
      << "the volume is left consistent";
}

TEST_F(RegistryOnDisks, ARestoredSystemIsFoundByItsRecordedLetterOnGpt) {
  const VolumeIdentifier old = MbrVolumeIdentifier(0x0badcafe, 0x100000);
  const VolumeIdentifier destination = Identifier(Gpt(3));
  PlaceHive(Gpt(3), test::TypicalMountedDevices(old, destination));
  ASSERT_TRUE(FixMountedDevices(VolumeId(), u'C', Gpt(3)));
  ExpectNotMounted(Gpt(3));
  auto hive = HiveOn(Gpt(3));
  EXPECT_EQ(hive["\\DosDevices\\C:"], destination);
  EXPECT_EQ(hive["\\DosDevices\\C:"].size(), kGptIdentifierSize);
  EXPECT_EQ(hive.count("\\DosDevices\\E:"), 0u);
}

TEST_F(RegistryOnDisks, AVolumeWithoutWindowsGivesFalse) {
  // Partition 6 holds no installation.
  EXPECT_FALSE(FixMountedDevices(Mbr(1), 0, Mbr(6)));
  ExpectNotMounted(Mbr(6));
  // The EFI system partition is FAT: the NTFS driver refuses it.
  EXPECT_FALSE(FixMountedDevices(Mbr(1), 0, Gpt(1)));
  ExpectNotMounted(Gpt(1));
}

TEST_F(RegistryOnDisks, StoresArePointedAtLogicalAndGptPartitions) {
  TempDir dir;
  const fs::path bios = dir / "Boot" / "BCD";
  const fs::path uefi = dir / "EFI" / "Microsoft" / "Boot" / "BCD";
  for (const auto& [path, isUefi] : {std::pair{bios, false}, std::pair{uefi, true}}) {
    fs::create_directories(path.parent_path());
    BcdStore store;
    ASSERT_EQ(store.Create(path.string()), kBcdOk);
    ASSERT_EQ(AddBootManager(store, isUefi), kBcdOk);
    ASSERT_EQ(AddWindowsLoader(store, isUefi), kBcdOk);
    ASSERT_EQ(store.Commit(), kBcdOk);
  }
  const std::string key = std::string("Objects\\") + kLoaderObjectId + "\\Elements\\";
  auto element = [&](const fs::path& store, const char* type) {
    return Shell("hivexget " + Quote(store.string()) + " " + Quote(key + type) +
                 " Element | od -An -tx1 -v | tr -d ' \\n'")
        .output;
  };

  // MBR, logical partition 5: the signature and the byte offset from sfdisk.
  EXPECT_TRUE(SetBcdDevice(bios.string() + "|" + uefi.string(), Mbr(5)));
  char expected[256];
  const uint64_t offset = SfdiskStart(g_disks->mbr.image, 5) * 512;
  std::string offsetHex;
  for (int i = 0; i < 8; ++i) {
    std::snprintf(expected, sizeof expected, "%02x",
                  static_cast<unsigned>((offset >> (8 * i)) & 0xFF));
    offsetHex += expected;
  }
  const std::string mbrExpected = std::string(32, '0') + "06000000" + "00000000" + "48000000" +
                                  "00000000" + offsetHex + std::string(16, '0') + "00000000" +
                                  "01000000" + "01e01357" + std::string(24, '0') +
                                  std::string(32, '0');
  for (const fs::path& store : {bios, uefi}) {
    EXPECT_EQ(element(store, "11000001"), mbrExpected) << store;
    EXPECT_EQ(element(store, "21000001"), mbrExpected) << store;
  }

  // GPT, partition 2: both GUIDs in their on-disk byte order.
  EXPECT_TRUE(SetBcdDevice(uefi.string(), Gpt(2)));
  PartitionLocation location;
  ASSERT_EQ(LocatePartition(Gpt(2), location), kLocateOk);
  EXPECT_EQ(
      engine::GuidToString(location.partitionGuid),
      Upper(Trim(Shell("sfdisk --part-uuid " + Quote(g_disks->gpt.image.string()) + " 2").output)));
  std::string gptExpected = std::string(32, '0') + "06000000000000004800000000000000";
  auto hex = [&](const engine::Guid& g) {
    std::string s;
    for (const uint8_t b : g) {
      std::snprintf(expected, sizeof expected, "%02x", b);
      s += expected;
    }
    return s;
  };
  gptExpected += hex(location.partitionGuid) + "00000000" + "00000000" + hex(location.diskGuid) +
                 std::string(32, '0');
  EXPECT_EQ(element(uefi, "21000001"), gptExpected);
  EXPECT_EQ(element(bios, "21000001"), mbrExpected) << "a store not in the list is untouched";
}

}  // namespace
}  // namespace stow::bootrepair
