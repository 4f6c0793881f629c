// Parsing of the mount table the inventory takes mount points from.
#include <gtest/gtest.h>

#include "platform/linux/MountInfo.h"

namespace stow::platform {
namespace {

TEST(MountInfo, ParsesFieldsAroundTheOptionalOnes) {
  const std::string text =
      "27 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw,discard\n"
      "88 27 0:52 / /mnt/win\\040disk ro,nosuid master:3 shared:9 - fuseblk /dev/loop3p1 "
      "ro,user_id=0\n"
      "90 27 8:17 /sub /srv/bound rw - xfs /dev/sdb1 rw\n"
      "91 27 0:60 / /tmp\\134odd\\011tab rw - tmpfs tmp\\040fs rw\n";
  const std::vector<MountEntry> entries = ParseMountInfo(text);
  ASSERT_EQ(entries.size(), 4u);

  EXPECT_EQ(entries[0].major, 254u);
  EXPECT_EQ(entries[0].minor, 0u);
  EXPECT_EQ(entries[0].root, "/");
  EXPECT_EQ(entries[0].mountPoint, "/");
  EXPECT_EQ(entries[0].fsType, "ext4");
  EXPECT_EQ(entries[0].source, "/dev/vda");
  EXPECT_FALSE(MountIsReadOnly(entries[0]));

  EXPECT_EQ(entries[1].mountPoint, "/mnt/win disk");
  EXPECT_EQ(entries[1].fsType, "fuseblk");
  EXPECT_EQ(entries[1].source, "/dev/loop3p1");
  EXPECT_TRUE(MountIsReadOnly(entries[1]));

  EXPECT_EQ(entries[2].major, 8u);
  EXPECT_EQ(entries[2].minor, 17u);
  EXPECT_EQ(entries[2].root, "/sub");

  EXPECT_EQ(entries[3].mountPoint, "/tmp\\odd\ttab");
  EXPECT_EQ(entries[3].source, "tmp fs");
}

TEST(MountInfo, SkipsMalformedLinesAndKeepsTheRest) {
  const std::string text =
      "\n"
      "garbage\n"
      "1 2 x:y / /a rw - ext4 /dev/a rw\n"            // device not numeric
      "1 2 3:4 / /b rw ext4 /dev/b rw\n"              // no separator
      "1 2 3:4 / /c rw shared:1 -\n"                  // nothing after the separator
      "1 2 3:4 / /d rw - ext4\n"                      // no source
      "1 2 3:4x / /e rw - ext4 /dev/e rw\n"           // trailing junk in the device
      "1 2 99999999999:4 / /f rw - ext4 /dev/f rw\n"  // major out of range
      "1 2 3:4 / /ok\\0 rw - ext4 /dev/ok rw";        // short escape kept as text, no newline
  const std::vector<MountEntry> entries = ParseMountInfo(text);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].mountPoint, "/ok\\0");
  EXPECT_EQ(entries[0].source, "/dev/ok");
}

TEST(MountInfo, TheRunningSystemHasARootMount) {
  const std::vector<MountEntry> entries = ReadMountInfo();
  ASSERT_FALSE(entries.empty());
  bool root = false;
  for (const MountEntry& m : entries) root = root || m.mountPoint == "/";
  EXPECT_TRUE(root);
}

}  // namespace
}  // namespace stow::platform
