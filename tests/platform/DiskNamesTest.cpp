// The order fixed disks are numbered in must follow the kernel's own naming, or
// a disk number would name another disk than the one the user chose.
#include "platform/linux/DiskNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace stow::platform {
namespace {

TEST(DiskNames, KernelOrderOfLetteredAndNumberedDisks) {
  std::vector<std::string> names = {"sdaa", "sdz",     "sdab",    "sdb",  "sda",    "nvme10n1",
                                    "vdb",  "nvme2n1", "nvme0n1", "xvda", "mmcblk0", "sdba"};
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return DiskNameLess(a, b);
  });
  const std::vector<std::string> expected = {"mmcblk0", "nvme0n1", "nvme2n1", "nvme10n1",
                                             "sda",     "sdb",     "sdz",     "sdaa",
                                             "sdab",    "sdba",    "vdb",     "xvda"};
  EXPECT_EQ(names, expected);
}

TEST(DiskNames, IsAStrictOrder) {
  for (const char* n : {"sda", "sdaa", "nvme0n1", "loop", "sd", ""}) {
    EXPECT_FALSE(DiskNameLess(n, n)) << n;
  }
  EXPECT_TRUE(DiskNameLess("sd", "sda"));
  EXPECT_FALSE(DiskNameLess("sda", "sd"));
}

}  // namespace
}  // namespace stow::platform
