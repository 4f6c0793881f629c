// The MountedDevices rewrite on SYSTEM hive files, checked through hivexsh.
#include "bootrepair/Registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>

#include "bootrepair/HiveBuilder.h"
#include "engine/disk/DiskDevice.h"
#include "platform/Isolated.h"
#include "platform/MemoryBlockDevice.h"
#include "tests/testlib/TestUtil.h"
#include "tests/testlib/WindowsFixture.h"

namespace stow::bootrepair {
namespace {

namespace fs = std::filesystem;

using test::MountedDevicesEntry;
using test::TempDir;

const engine::Guid kPartitionGuid = {0xa2, 0xa0, 0xd0, 0xeb, 0xe5, 0xb9, 0x33, 0x44,
                                     0x87, 0xc0, 0x68, 0xb6, 0xb7, 0x26, 0x99, 0xc7};

// Source and destination on MBR disks, and a destination on a GPT disk.
const VolumeIdentifier kSource = MbrVolumeIdentifier(0x5713e001, 0x100000);
const VolumeIdentifier kDestination = MbrVolumeIdentifier(0x5713e001, 0x2100000);
const VolumeIdentifier kGptDestination = GptVolumeIdentifier(kPartitionGuid);

std::map<std::string, VolumeIdentifier> ReadBack(const fs::path& hive) {
  std::vector<MountedDevicesEntry> entries;
  const std::string error = test::ReadMountedDevicesWithHivexsh(hive, entries);
  EXPECT_EQ(error, "");
  std::map<std::string, VolumeIdentifier> out;
  for (auto& e : entries) out[e.name] = e.data;
  EXPECT_EQ(out.size(), entries.size()) << "value names are unique";
  return out;
}

class RegistryHive : public ::testing::Test {
 protected:
  void SetUp() override {
    STOW_REQUIRE(std::vector<std::string>({"hivexsh"}), false, false);
    hive_ = dir_ / "SYSTEM";
  }
  void Write(const std::vector<MountedDevicesEntry>& entries) {
    ASSERT_EQ(test::WriteSystemHive(hive_, entries), "");
  }
  TempDir dir_;
  fs::path hive_;
};

TEST_F(RegistryHive, TheSourceLetterMovesToTheDestinationAndItsOldLetterGoes) {
  Write(test::TypicalMountedDevices(kSource, kDestination));
  const auto before = ReadBack(hive_);
  ASSERT_TRUE(FixMountedDevicesInHive(hive_.string(), {kSource, 0}, kDestination));
  auto after = ReadBack(hive_);
  EXPECT_EQ(after["\\DosDevices\\C:"], kDestination);
  EXPECT_EQ(after.count("\\DosDevices\\E:"), 0u);
  for (const auto& [name, data] : after) {
    if (name.find("DosDevices") != std::string::npos && name != "\\DosDevices\\C:") {
      EXPECT_NE(data, kDestination) << name << " still names the destination";
    }
  }
  // Volume entries are not drive letters and stay as they were.
  for (const auto& [name, data] : before) {
    if (name.find("DosDevices") == std::string::npos) {
      EXPECT_EQ(after[name], data) << name;
    }
  }
  EXPECT_EQ(after.size(), before.size() - 1);
}

TEST_F(RegistryHive, EveryLetterNamingTheDestinationGoesAlsoNeighbours) {
  // Two neighbouring letters name the destination: removing the first must not
  // make the pass step over the second.
  Write({{"\\DosDevices\\C:", kSource},
         {"\\DosDevices\\E:", kDestination},
         {"\\DosDevices\\F:", kDestination},
         {"\\DosDevices\\G:", kDestination}});
  ASSERT_TRUE(FixMountedDevicesInHive(hive_.string(), {kSource, 0}, kDestination));
  const auto after = ReadBack(hive_);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after.at("\\DosDevices\\C:"), kDestination);
}

TEST_F(RegistryHive, IdentifiersOfDifferentLengthsAreComparedWhole) {
  // MBR source (12 bytes) moving to a GPT destination (24 bytes). A value that
  // starts like the source but is longer, and one that is a prefix of it, are
  // not the source.
  VolumeIdentifier longer = kSource;
  longer.push_back(std::byte{0});
  const VolumeIdentifier prefix(kSource.begin(), kSource.begin() + 8);
  Write({{"\\DosDevices\\D:", longer},
         {"\\DosDevices\\F:", prefix},
         {"\\DosDevices\\C:", kSource},
         {"\\DosDevices\\E:", kGptDestination}});
  ASSERT_TRUE(FixMountedDevicesInHive(hive_.string(), {kSource, 0}, kGptDestination));
  const auto after = ReadBack(hive_);
  EXPECT_EQ(after.at("\\DosDevices\\C:"), kGptDestination);
  EXPECT_EQ(after.at("\\DosDevices\\C:").size(), kGptIdentifierSize);
  EXPECT_EQ(after.at("\\DosDevices\\D:"), longer);
  EXPECT_EQ(after.at("\\DosDevices\\F:"), prefix);
  EXPECT_EQ(after.count("\\DosDevices\\E:"), 0u);
}

TEST_F(RegistryHive, OnlyTheFirstEntryOfTheSourceIsReplaced) {
  Write({{"\\DosDevices\\C:", kSource}, {"\\DosDevices\\H:", kSource}});
  ASSERT_TRUE(FixMountedDevicesInHive(hive_.string(), {kSource, 0}, kDestination));
  const auto after = ReadBack(hive_);
  EXPECT_EQ(after.at("\\DosDevices\\C:"), kDestination);
  EXPECT_EQ(after.at("\\DosDevices\\H:"), kSource);
}

TEST_F(RegistryHive, ARestoreFindsTheSourceByTheRecordedLetter) {
  Write(test::TypicalMountedDevices(kSource, kDestination));
  ASSERT_TRUE(FixMountedDevicesInHive(hive_.string(), {{}, u'C'}, kDestination));
  auto after = ReadBack(hive_);
  EXPECT_EQ(after["\\DosDevices\\C:"], kDestination);
  EXPECT_EQ(after.count("\\DosDevices\\E:"), 0u);
}

TEST_F(RegistryHive, NothingChangesWithoutAnEntryForTheSource) {
  Write(test::TypicalMountedDevices(kSource, kDestination));
  const auto before = ReadBack(hive_);
  // No letter recorded, or a letter the hive does not know: no source to move.
  EXPECT_TRUE(FixMountedDevicesInHive(hive_.string(), {{}, 0}, kDestination));
  EXPECT_TRUE(FixMountedDevicesInHive(hive_.string(), {{}, u'Q'}, kDestination));
  EXPECT_EQ(ReadBack(hive_), before);
  // A source the hive holds no letter for: the destination's own letters still
  // go, and no letter is given to it.
  EXPECT_TRUE(FixMountedDevicesInHive(hive_.string(), {MbrVolumeIdentifier(0x1234, 0x100000), 0},
                                      kDestination));
  auto after = ReadBack(hive_);
  EXPECT_EQ(after.count("\\DosDevices\\E:"), 0u);
  EXPECT_EQ(after["\\DosDevices\\C:"], kSource);
}

TEST_F(RegistryHive, TheSameVolumeAsSourceAndDestinationKeepsItsLetter) {
  // An image restored onto the partition it was taken from: removing the
  // destination's letters first would remove C: itself.
  Write(test::TypicalMountedDevices(kSource, kDestination));
  const auto before = ReadBack(hive_);
  EXPECT_TRUE(FixMountedDevicesInHive(hive_.string(), {kSource, 0}, kSource));
  EXPECT_TRUE(FixMountedDevicesInHive(hive_.string(), {{}, u'C'}, kSource));
  EXPECT_EQ(ReadBack(hive_), before);
}

TEST_F(RegistryHive, MissingOrDamagedHivesGiveFalseAndAHiveWithoutTheKeyIsLeftAlone) {
  EXPECT_FALSE(FixMountedDevicesInHive((dir_ / "absent").string(), {kSource, 0}, kDestination));
  {
    std::FILE* f = std::fopen(hive_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("regf but not really a hive", f);
    std::fclose(f);
  }
  EXPECT_FALSE(FixMountedDevicesInHive(hive_.string(), {kSource, 0}, kDestination));
  ASSERT_EQ(CreateEmptyHive(hive_.string(), "SYSTEM"), 0);
  EXPECT_TRUE(FixMountedDevicesInHive(hive_.string(), {kSource, 0}, kDestination));
}

TEST_F(RegistryHive, OversizedAndNonLetterValuesAreSkipped) {
  VolumeIdentifier big(300, std::byte{0x41});
  Write({{"\\DosDevices\\Z:", big},
         {"\\??\\Volume{6d1b9a4e-0c3f-11ef-8a6d-806e6f6e6963}", kDestination},
         {"dosdevices-lowercase", kDestination}});
  Hive hive;
  ASSERT_EQ(hive.Open(hive_.string(), true), 0);
  const HiveKey key = hive.Child(hive.Root(), kMountedDevicesKey);
  EXPECT_EQ(RewriteDosDeviceValues(hive, key, big, nullptr), 0) << "larger than any identifier";
  EXPECT_EQ(RewriteDosDeviceValues(hive, key, kDestination, nullptr), 0)
      << "the marker is compared with case; volume entries are no letters";
  const Bytes replacement(kSource);
  EXPECT_EQ(RewriteDosDeviceValues(hive, key, kDestination, &replacement), 0);
  EXPECT_EQ(RewriteDosDeviceValues(hive, kNoHiveKey, kDestination, nullptr), -1);
}

TEST_F(RegistryHive, AHiveTheLibraryStopsOnWhileWritingOnlyFailsTheFixUp) {
  // A hive (found by fuzzing) whose value list makes the hive library stop the
  // process with an assertion when it rewrites the key: the fix-up reports a
  // failure and the program goes on.
  const fs::path seed =
      fs::path(STOWLINE_SOURCE_DIR) / "fuzz" / "corpus" / "hive_fuzzer" / "odd-value-type";
  ASSERT_TRUE(fs::exists(seed));
  fs::copy_file(seed, hive_, fs::copy_options::overwrite_existing);
  const VolumeIdentifier source = MbrVolumeIdentifier(0x5713e001, 0x100000);
  engine::Guid guid{};
  guid.fill(0x3C);
  EXPECT_FALSE(FixMountedDevicesInHive(hive_.string(), {source, 0}, GptVolumeIdentifier(guid)));
}

// An MBR disk in memory: signature 0x5713e001, one NTFS entry at sector 2048
// and a logical chain whose entry lies at sector 1000000 + 63.
std::vector<std::byte> MemoryMbrDisk(bool bootSignature, uint8_t firstType) {
  std::vector<std::byte> disk(2 * 1024 * 1024, std::byte{0});
  StoreLe32(disk.data() + 440, 0x5713e001);
  auto entry = [&](std::byte* e, uint8_t type, uint32_t start, uint32_t count) {
    e[4] = static_cast<std::byte>(type);
    StoreLe32(e + 8, start);
    StoreLe32(e + 12, count);
  };
  entry(disk.data() + 446, firstType, 2048, 1000);
  entry(disk.data() + 446 + 16, 0x0F, 3072, 1000);
  // The EBR at 3072: a logical partition 63 sectors after it.
  entry(disk.data() + 3072 * 512 + 446, 0x07, 63, 500);
  disk[3072 * 512 + 510] = std::byte{0x55};
  disk[3072 * 512 + 511] = std::byte{0xAA};
  if (bootSignature) {
    disk[510] = std::byte{0x55};
    disk[511] = std::byte{0xAA};
  }
  return disk;
}

LocateResult Locate(std::vector<std::byte> disk, uint64_t start, PartitionLocation& out) {
  engine::DiskDevice cdisk;
  cdisk.Attach(std::make_unique<platform::MemoryBlockDevice>(std::move(disk)), false);
  return LocatePartitionOnDisk(cdisk, start, out);
}

TEST(VolumeIdentifiers, PartitionsAreLocatedByTheirFirstSector) {
  PartitionLocation location;
  ASSERT_EQ(Locate(MemoryMbrDisk(true, 0x07), 2048, location), kLocateOk);
  EXPECT_EQ(location.style, platform::kStyleMbr);
  EXPECT_EQ(location.mbrSignature, 0x5713e001u);
  EXPECT_EQ(location.byteOffset, 2048u * 512);
  EXPECT_EQ(MountedDevicesIdentifier(location),
            VolumeIdentifier({std::byte{0x01}, std::byte{0xe0}, std::byte{0x13}, std::byte{0x57},
                              std::byte{0x00}, std::byte{0x00}, std::byte{0x10}, std::byte{0x00},
                              std::byte{0x00}, std::byte{0x00}, std::byte{0x00}, std::byte{0x00}}));
  // A logical partition: its start counts from its EBR.
  ASSERT_EQ(Locate(MemoryMbrDisk(true, 0x07), 3072 + 63, location), kLocateOk);
  EXPECT_EQ(location.byteOffset, (3072u + 63) * 512);
  // Where no entry starts, an unused slot, a disk without a table, a start past any disk.
  EXPECT_EQ(Locate(MemoryMbrDisk(true, 0x07), 2049, location), kLocateNoEntry);
  EXPECT_EQ(Locate(MemoryMbrDisk(true, 0x00), 2048, location), kLocateNoEntry);
  EXPECT_EQ(Locate(MemoryMbrDisk(false, 0x07), 2048, location), kLocateRawDisk);
  EXPECT_EQ(Locate(MemoryMbrDisk(true, 0x07), UINT64_MAX / 256, location), kLocateNoEntry);
  EXPECT_EQ(Locate(std::vector<std::byte>(100), 2048, location), kLocateDiskUnreadable);
  engine::DiskDevice closed;
  EXPECT_EQ(LocatePartitionOnDisk(closed, 2048, location), kLocateDiskUnreadable);
}

TEST(VolumeIdentifiers, GptIdentifierIsThePrefixAndTheGuidAsStored) {
  const VolumeIdentifier id = GptVolumeIdentifier(kPartitionGuid);
  ASSERT_EQ(id.size(), 24u);
  EXPECT_EQ(std::memcmp(id.data(), "DMIO:ID:", 8), 0);
  EXPECT_EQ(std::memcmp(id.data() + 8, kPartitionGuid.data(), 16), 0);
  EXPECT_TRUE(MountedDevicesIdentifier(PartitionLocation{}).empty());
}

TEST(Registry, ValueNamesAndPrivileges) {
  EXPECT_EQ(DosDeviceValueName(u'C'), "\\DosDevices\\C:");
  EXPECT_EQ(DosDeviceValueName(u'\x00e9'), "\\DosDevices\\?:");
  EXPECT_EQ(EnablePrivileges(), test::IsRoot());
  if (!test::IsRoot()) return;
  // Without root, neither the privileges nor the fix-up (which would mount a volume).
  const int unprivileged = platform::RunIsolated([] {
    if (::setresuid(65534, 65534, 65534) != 0) return 9;
    const bool fixed =
        FixMountedDevices(platform::VolumeId("/dev/null"), 0, platform::VolumeId("/dev/null"));
    return (EnablePrivileges() ? 1 : 0) + (fixed ? 2 : 0);
  });
  EXPECT_EQ(unprivileged, 0);
}

}  // namespace
}  // namespace stow::bootrepair
