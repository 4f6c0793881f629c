// The rules on a destination chosen from the inventory: what counts as a
// changed inventory, which destinations cannot start a system, the running
// system's disk, and when a GPT disk needs its FAT partition split off.
#include <gtest/gtest.h>

#include "tasks/DestinationChoice.h"

namespace stow::tasks {
namespace {

using discovery::PartitionInfo;
using discovery::PartitionList;

PartitionInfo Volume(const std::string& name, int32_t disk, platform::PartitionStyle style,
                     uint8_t mbrKind = 0, uint8_t gptFat = 0) {
  PartitionInfo info;
  info.volumeName = name;
  info.diskNumber = disk;
  info.partitionStyle = style;
  info.mbrKind = mbrKind;
  info.gptFatFlag = gptFat;
  return info;
}

TEST(DestinationChoice, TheInventoryChangesWithItsNamesAndMountPathsOnly) {
  PartitionList shown{Volume("/dev/sda1", 0, platform::kStyleMbr, 1),
                      Volume("/dev/sdb1", 1, platform::kStyleGpt)};
  PartitionList now = shown;
  now[1].totalFreeBytes = 12345;  // free space moves all the time
  now[1].volumeLabel = "renamed";
  EXPECT_FALSE(PartitionListChanged(shown, now));
  now[1].mountPath = "/mnt/data";  // mounted meanwhile
  EXPECT_TRUE(PartitionListChanged(shown, now));
  now = shown;
  std::swap(now[0], now[1]);  // the same volumes in another order name other rows
  EXPECT_TRUE(PartitionListChanged(shown, now));
  now = shown;
  now.push_back(Volume("/dev/sdc1", 2, platform::kStyleMbr));  // plugged in
  EXPECT_TRUE(PartitionListChanged(shown, now));
  EXPECT_TRUE(PartitionListChanged(now, shown));
  EXPECT_FALSE(PartitionListChanged({}, {}));
}

TEST(DestinationChoice, FindsByVolumeNameAndTheSystemByItsFlag) {
  PartitionList list{Volume("/dev/sda1", 0, platform::kStyleMbr, 1),
                     Volume("/dev/sda2", 0, platform::kStyleMbr, 1),
                     Volume("/dev/sdb1", 1, platform::kStyleGpt, 0, 1)};
  EXPECT_EQ(FindPartition(list, "/dev/sda2"), &list[1]);
  EXPECT_EQ(FindPartition(list, "/dev/sda"), nullptr);
  EXPECT_EQ(FindPartition(list, ""), nullptr);
  EXPECT_EQ(SystemPartition(list), nullptr);
  EXPECT_FALSE(OnRunningSystemDisk(list, list[1])) << "no system volume listed";
  list[0].systemVolume = 1;
  EXPECT_EQ(SystemPartition(list), &list[0]);
  EXPECT_TRUE(OnRunningSystemDisk(list, list[1]));
  EXPECT_FALSE(OnRunningSystemDisk(list, list[2]));
  // A system volume on no single disk shares it with nothing.
  list[0].diskNumber = discovery::kNoDiskNumber;
  list[1].diskNumber = discovery::kNoDiskNumber;
  EXPECT_FALSE(OnRunningSystemDisk(list, list[1]));
}

TEST(DestinationChoice, BootabilityAndTheSplitFollowTheDisksLayout) {
  // On no single disk (a dynamic or loop-backed volume): never bootable.
  EXPECT_TRUE(CannotBoot(Volume("/dev/md0", discovery::kNoDiskNumber, platform::kStyleMbr, 1)));
  EXPECT_TRUE(CannotBoot(Volume("a", 0, platform::kStyleMbr, discovery::kMbrKindUnknown)));
  EXPECT_FALSE(CannotBoot(Volume("a", 0, platform::kStyleMbr, discovery::kMbrKindPrimary)));
  EXPECT_FALSE(CannotBoot(Volume("a", 0, platform::kStyleMbr, discovery::kMbrKindLogical)));
  EXPECT_TRUE(CannotBoot(Volume("a", 0, platform::kStyleGpt, 0, discovery::kGptFatUnknown)));
  EXPECT_FALSE(CannotBoot(Volume("a", 0, platform::kStyleGpt, 0, discovery::kGptFatPresent)));
  EXPECT_FALSE(CannotBoot(Volume("a", 0, platform::kStyleGpt, 0, discovery::kGptFatAbsent)));

  EXPECT_TRUE(
      NeedsBootPartitionSplit(Volume("a", 0, platform::kStyleGpt, 0, discovery::kGptFatAbsent)));
  EXPECT_FALSE(
      NeedsBootPartitionSplit(Volume("a", 0, platform::kStyleGpt, 0, discovery::kGptFatPresent)));
  EXPECT_FALSE(NeedsBootPartitionSplit(Volume("a", 0, platform::kStyleMbr, 1)))
      << "an MBR disk takes the boot files on a primary partition";
}

}  // namespace
}  // namespace stow::tasks
