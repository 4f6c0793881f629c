// The boot file copy: which files the boot filter takes and in what order, the
// store list, a read-only store replaced in place, a store whose copy fails,
// paths far longer than 200 bytes, the exclusion walk, links that must not be
// followed and the tree removal; on local folders, on an NTFS volume through
// its private mount and on a FAT volume through mtools, each result read back
// with ntfs-3g or mtools.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "bootrepair/BootFiles.h"
#include "platform/VolumeFiles.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/TestUtil.h"

namespace stow::test {
namespace {

using bootrepair::CollectFiles;
using bootrepair::CopyBootFiles;
using bootrepair::FileList;

void Put(const fs::path& file, const std::string& content) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
}

std::string Get(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Paths of a list below `root`, for readable expectations.
std::vector<std::string> Below(const fs::path& root, const FileList& files) {
  std::vector<std::string> out;
  for (const std::string& f : files) out.push_back(f.substr(root.string().size()));
  return out;
}

// A path inside the EFI folder whose whole length is far beyond 200 bytes.
std::string LongStorePath() {
  return "/EFI/" + std::string(70, 'a') + "/" + std::string(70, 'b') + "/" + std::string(70, 'c') +
         "/a-file-with-a-long-name-too.bin";
}

// A boot file set with a readme that must stay behind and mixed-case names.
void MakeBootSet(const fs::path& root) {
  Put(root / "BootMgr", "boot manager");
  Put(root / "readme.txt", "not a boot file");
  Put(root / "boot" / "BCD", "bios store");
  Put(root / "boot" / "fonts" / "font.ttf", "font");
  Put(root / "EFI" / "Microsoft" / "Boot" / "BCD", "uefi store");
  Put(root / "Other" / "BCD", "not a boot folder");
}

TEST(BootFileWalk, TheFilterTakesTheBootSetInIndexOrder) {
  TempDir dir;
  const fs::path root = dir / "set";
  MakeBootSet(root);
  const auto walk = [&](int filter) {
    FileList files;
    CollectFiles(root.string(), files, filter);
    return Below(root, files);
  };
  // Names compare upper-cased, as an NTFS index orders them: BOOT < BOOTMGR < EFI.
  EXPECT_EQ(walk(bootrepair::kBootFilterBootSet),
            (std::vector<std::string>{"/boot/BCD", "/boot/fonts/font.ttf", "/BootMgr",
                                      "/EFI/Microsoft/Boot/BCD"}));
  EXPECT_EQ(walk(bootrepair::kBootFilterBootManager),
            (std::vector<std::string>{"/boot/BCD", "/boot/fonts/font.ttf", "/BootMgr"}));
  EXPECT_EQ(walk(bootrepair::kBootFilterEfi),
            (std::vector<std::string>{"/BootMgr", "/EFI/Microsoft/Boot/BCD", "/readme.txt"}));
  EXPECT_EQ(walk(bootrepair::kBootFilterNone).size(), 6u);
  FileList none;
  CollectFiles((dir / "missing").string(), none, bootrepair::kBootFilterBootSet);
  EXPECT_TRUE(none.empty());
}

TEST(BootFileWalk, LinksAndSpecialFilesAreLeftAlone) {
  TempDir dir;
  const fs::path root = dir / "set";
  Put(root / "EFI" / "real.efi", "x");
  fs::create_directory_symlink("..", root / "EFI" / "loop");           // would never end
  fs::create_directory_symlink(dir.Path(), root / "EFI" / "outside");  // leaves the tree
  ASSERT_EQ(::mkfifo((root / "EFI" / "pipe").c_str(), 0600), 0);       // would block a copy
  FileList files;
  CollectFiles(root.string(), files, bootrepair::kBootFilterBootSet);
  EXPECT_EQ(Below(root, files), (std::vector<std::string>{"/EFI/real.efi"}));
}

TEST(BootFileCopy, StoresAreListedInDiscoveryOrderAndOtherFilesStay) {
  LogCapture log;
  TempDir dir;
  MakeBootSet(dir / "set");
  fs::create_directory(dir / "boot-partition");
  const auto target = platform::OpenFolderFiles((dir / "boot-partition").string());
  std::string stores = "left over";
  EXPECT_EQ(CopyBootFiles(bootrepair::kBootFilterBootSet, (dir / "set").string(), *target, stores),
            0u);
  EXPECT_EQ(stores, "/boot/BCD|/EFI/Microsoft/Boot/BCD");
  EXPECT_EQ(Get(dir / "boot-partition" / "boot" / "BCD"), "bios store");
  EXPECT_EQ(Get(dir / "boot-partition" / "EFI" / "Microsoft" / "Boot" / "BCD"), "uefi store");
  EXPECT_EQ(Get(dir / "boot-partition" / "BootMgr"), "boot manager");
  EXPECT_FALSE(fs::exists(dir / "boot-partition" / "readme.txt"));
  EXPECT_FALSE(fs::exists(dir / "boot-partition" / "Other"));
  EXPECT_EQ(log.Count("copy file number=4"), 1);
  EXPECT_EQ(log.Count("copy file success : " + (dir / "boot-partition").string() + ":/BootMgr "),
            1);
}

TEST(BootFileCopy, AFailedStoreIsStillListedAndAlikeNamesAreNot) {
  LogCapture log;
  TempDir dir;
  Put(dir / "set" / "boot" / "BCD", "store");
  Put(dir / "set" / "boot" / "OldBCD", "not a store");
  Put(dir / "set" / "boot" / "z.txt", "after the failures");
  // Folders where the files should go make both copies fail.
  fs::create_directories(dir / "target" / "boot" / "BCD");
  fs::create_directories(dir / "target" / "boot" / "OldBCD");
  const auto target = platform::OpenFolderFiles((dir / "target").string());
  std::string stores;
  EXPECT_EQ(CopyBootFiles(bootrepair::kBootFilterBootSet, (dir / "set").string(), *target, stores),
            2u)
      << "the two files not copied";
  EXPECT_EQ(stores, "/boot/BCD");
  EXPECT_EQ(log.Count("mycopy file eror : " + (dir / "set" / "boot" / "BCD").string()), 1);
  EXPECT_EQ(log.Count("could not be placed"), 2);  // both names end in BCD
  EXPECT_EQ(Get(dir / "target" / "boot" / "z.txt"), "after the failures");
  EXPECT_EQ(log.Count("2 of 3 files not copied to " + (dir / "target").string()), 1);
}

TEST(BootFileCopy, AFolderThatCannotBeMadeStopsTheCopyAndCountsEveryFileLeft) {
  LogCapture log;
  TempDir dir;
  MakeBootSet(dir / "set");
  // A file where the first folder must go: the copy stops at the first file,
  // and none of the four is in place.
  fs::create_directory(dir / "target");
  Put(dir / "target" / "boot", "a file in the way");
  const auto target = platform::OpenFolderFiles((dir / "target").string());
  std::string stores;
  EXPECT_EQ(CopyBootFiles(bootrepair::kBootFilterBootSet, (dir / "set").string(), *target, stores),
            4u);
  EXPECT_FALSE(fs::exists(dir / "target" / "BootMgr"));
  EXPECT_EQ(Get(dir / "target" / "boot"), "a file in the way");
  EXPECT_EQ(log.Count("path not exist"), 1);
  EXPECT_EQ(log.Count("4 of 4 files not copied"), 1);
}

TEST(BootFileCopy, AMissingSourceCopiesNothing) {
  LogCapture log;
  TempDir dir;
  fs::create_directory(dir / "target");
  const auto target = platform::OpenFolderFiles((dir / "target").string());
  std::string stores = "x";
  EXPECT_EQ(CopyBootFiles(bootrepair::kBootFilterBootSet, (dir / "none").string(), *target, stores),
            0);
  EXPECT_TRUE(stores.empty());
  EXPECT_EQ(log.Count("start copy file sour : " + (dir / "none").string()), 1);
  EXPECT_EQ(log.Count("copy file number=0"), 1);
  EXPECT_TRUE(fs::is_empty(dir / "target"));
}

TEST(BootFileCopy, EnsureDirectoryAndMyCopyFileOnAFolder) {
  TempDir dir;
  fs::create_directory(dir / "t");
  const auto target = platform::OpenFolderFiles((dir / "t").string());
  EXPECT_FALSE(bootrepair::EnsureDirectory(*target, "no-separator"));
  EXPECT_TRUE(bootrepair::EnsureDirectory(*target, "/top-level-file"));
  EXPECT_TRUE(bootrepair::EnsureDirectory(*target, "/a/b/c/file"));
  EXPECT_TRUE(fs::is_directory(dir / "t" / "a" / "b" / "c"));
  EXPECT_TRUE(bootrepair::EnsureDirectory(*target, "/a/b/c/other"));

  // An empty source gives an empty file; a large one crosses many buffers; a
  // read-only source copies; a missing one fails with its error.
  Put(dir / "empty", "");
  std::string big;
  for (int i = 0; i < 5000; ++i) big += "line " + std::to_string(i) + "\n";
  Put(dir / "big", big);
  ASSERT_EQ(::chmod((dir / "big").c_str(), 0444), 0);
  EXPECT_TRUE(bootrepair::MyCopyFile((dir / "empty").string(), *target, "/a/empty"));
  EXPECT_TRUE(fs::exists(dir / "t" / "a" / "empty"));
  EXPECT_EQ(fs::file_size(dir / "t" / "a" / "empty"), 0u);
  ASSERT_GT(big.size(), 3 * bootrepair::kCopyBufferSize);
  EXPECT_TRUE(bootrepair::MyCopyFile((dir / "big").string(), *target, "/a/big"));
  EXPECT_EQ(Get(dir / "t" / "a" / "big"), big);
  int error = 0;
  EXPECT_FALSE(bootrepair::MyCopyFile((dir / "gone").string(), *target, "/a/gone", &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(fs::exists(dir / "t" / "a" / "gone"));
}

TEST(BootFileCopy, CopyTreeLeavesOutOnlyTheTopLevelFolderNamed) {
  TempDir dir;
  Put(dir / "program" / "stowline", "program");
  Put(dir / "program" / "winpe" / "boot.wim", "the media itself");
  Put(dir / "program" / "data" / "WinPE" / "kept.txt", "deeper: kept");
  fs::create_directory(dir / "excluding");
  fs::create_directory(dir / "all");
  EXPECT_EQ(
      bootrepair::CopyTree(true, (dir / "program").string(), (dir / "excluding").string(), "WINPE"),
      0u);
  EXPECT_EQ(Get(dir / "excluding" / "stowline"), "program");
  EXPECT_FALSE(fs::exists(dir / "excluding" / "winpe"));
  EXPECT_EQ(Get(dir / "excluding" / "data" / "WinPE" / "kept.txt"), "deeper: kept");
  // A folder where a file must go fails that file only.
  fs::create_directories(dir / "all" / "stowline");
  EXPECT_EQ(
      bootrepair::CopyTree(false, (dir / "program").string(), (dir / "all").string(), "WINPE"), 1u);
  EXPECT_EQ(Get(dir / "all" / "winpe" / "boot.wim"), "the media itself");
  EXPECT_EQ(Get(dir / "all" / "data" / "WinPE" / "kept.txt"), "deeper: kept");
}

TEST(BootFileCopy, DeleteTreeRemovesItAllButNothingBehindALink) {
  TempDir dir;
  Put(dir / "tree" / "a" / "b" / "file", "x");
  Put(dir / "tree" / "read-only", "y");
  ASSERT_EQ(::chmod((dir / "tree" / "read-only").c_str(), 0444), 0);
  Put(dir / "outside" / "precious", "z");
  fs::create_directory_symlink(dir / "outside", dir / "tree" / "a" / "link");
  bootrepair::DeleteTree((dir / "tree").string());
  EXPECT_FALSE(fs::exists(dir / "tree"));
  EXPECT_EQ(Get(dir / "outside" / "precious"), "z");
  bootrepair::DeleteTree((dir / "never-there").string());  // nothing to do, no harm
}

TEST(BootFileCopy, StoreListsSplitAtTheSeparator) {
  EXPECT_EQ(bootrepair::SplitStoreList("/boot/BCD|/EFI/Microsoft/Boot/BCD"),
            (std::vector<std::string>{"/boot/BCD", "/EFI/Microsoft/Boot/BCD"}));
  EXPECT_EQ(bootrepair::SplitStoreList("|a||b|"), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(bootrepair::SplitStoreList("").empty());
}

// --- On real volumes --------------------------------------------------------

constexpr uint64_t kVolumeBytes = 32ull << 20;

class VolumeCopy : public ::testing::Test {
 protected:
  // A boot set with the long path, and a destination that already holds a
  // read-only store with other content.
  void MakeSet() {
    MakeBootSet(dir_ / "set");
    Put(fs::path((dir_ / "set").string() + LongStorePath()), "deep");
  }

  std::string CopyOnto(const std::string& volume) {
    std::unique_ptr<platform::VolumeFiles> files;
    std::string why;
    EXPECT_EQ(platform::OpenVolumeFiles(volume, false, files, &why), 0) << why;
    if (!files) return {};
    std::string stores;
    EXPECT_EQ(
        CopyBootFiles(bootrepair::kBootFilterBootSet, (dir_ / "set").string(), *files, stores), 0u);
    EXPECT_EQ(files->Close(), 0);
    return stores;
  }

  TempDir dir_;
};

TEST_F(VolumeCopy, NtfsThroughItsMountKeepsAttributesAndLongPaths) {
  STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfs-3g", "python3"}), false, true);
  const fs::path image = dir_ / "ntfs.img";
  MakeSparseFile(image, kVolumeBytes);
  ASSERT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", image.string()}).status, 0);
  const std::string readOnly =
      "python3 -c 'import os, struct; os.setxattr(\"boot/BCD\", \"system.ntfs_attrib\", "
      "struct.pack(\"<I\", 0x21))'";
  {
    NtfsMount mount(image.string(), false);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    ASSERT_EQ(Shell("cd " + Quote(mount.Path().string()) +
                    " && mkdir boot && echo old > boot/BCD && " + readOnly)
                  .status,
              0);
  }
  MakeSet();
  EXPECT_EQ(CopyOnto(image.string()), "/boot/BCD|/EFI/Microsoft/Boot/BCD");

  NtfsMount check(image.string(), true);
  ASSERT_TRUE(check.Ok()) << check.Error();
  EXPECT_EQ(Get(check.Path() / "boot" / "BCD"), "bios store");
  EXPECT_EQ(Get(fs::path(check.Path().string() + LongStorePath())), "deep");
  EXPECT_EQ(Get(check.Path() / "BootMgr"), "boot manager");
  const CommandResult attributes =
      Shell("python3 -c 'import os, struct; print(hex(struct.unpack(\"<I\", os.getxattr(\"" +
            (check.Path() / "boot" / "BCD").string() + "\", \"system.ntfs_attrib\"))[0]))'");
  EXPECT_EQ(attributes.output, "0x21\n") << "the store keeps its read-only attribute";
}

TEST_F(VolumeCopy, FatThroughMtoolsKeepsAttributesAndLongPaths) {
  STOW_REQUIRE((std::vector<std::string>{"mkfs.vfat", "mcopy", "mmd", "mattrib"}), false, false);
  const fs::path image = dir_ / "fat.img";
  MakeSparseFile(image, kVolumeBytes);
  ASSERT_EQ(test::Run({"mkfs.vfat", "-F", "16", image.string()}).status, 0);
  const std::string tool = "MTOOLS_SKIP_CHECK=1 ";
  const std::string i = " -i " + Quote(image.string()) + " ";
  Put(dir_ / "old", "old");
  ASSERT_EQ(
      Shell(tool + "mmd" + i + "::/boot && " + tool + "mcopy" + i + Quote((dir_ / "old").string()) +
            " ::/boot/BCD && " + tool + "mattrib" + i + "+r ::/boot/BCD")
          .status,
      0);
  MakeSet();
  EXPECT_EQ(CopyOnto(image.string()), "/boot/BCD|/EFI/Microsoft/Boot/BCD");

  const auto read = [&](const std::string& path) {
    return Shell(tool + "mcopy -n" + i + Quote("::" + path) + " -").output;
  };
  EXPECT_EQ(read("/boot/BCD"), "bios store");
  EXPECT_EQ(read("/EFI/Microsoft/Boot/BCD"), "uefi store");
  EXPECT_EQ(read(LongStorePath()), "deep");
  const std::string flags = Shell(tool + "mattrib" + i + "::/boot/BCD").output;
  EXPECT_NE(flags.substr(0, flags.find("::")).find('R'), std::string::npos) << flags;
  EXPECT_EQ(Shell(tool + "mattrib" + i + "::/readme.txt").status == 0, false);
}

}  // namespace
}  // namespace stow::test
