// IsWindowsVolume on real volumes made by mkntfs and filled through ntfs-3g:
// the system folder in another case, inside folders large enough that the
// names sit in index blocks rather than the index root, as a file instead of a
// folder, and missing; mounted and not mounted.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>

#include "bootrepair/WindowsVolume.h"
#include "engine/disk/Disk.h"
#include "engine/disk/IndexLookup.h"
#include "tests/testlib/TestUtil.h"

namespace stow::test {
namespace {

using engine::ntfs::LookupResult;

struct VolumeRecipe {
  const char* name;
  uint32_t clusterSize;
  const char* script;  // run inside the mounted volume
};

// Long names fill a directory's index root at once, so that its entries move
// into INDX blocks (the root keeps only the end entry and subnode pointers).
#define STOW_MANY_FILES(dir, count)               \
  "i=0; while [ $i -lt " #count " ]; do : > " dir \
  "/entry-with-a-rather-long-name-$i; i=$((i+1)); done"

const VolumeRecipe kRecipes[] = {
    {"mixed-case", 4096, "mkdir -p WINDOWS/system32 && echo x > WINDOWS/system32/kernel.txt"},
    {"large", 8192,
     "mkdir -p Windows/System32 && " STOW_MANY_FILES("Windows", 1500) " && " STOW_MANY_FILES(".",
                                                                                             600)},
    {"small-clusters", 512, "mkdir -p windows/SYSTEM32 && " STOW_MANY_FILES("windows", 400)},
    {"file", 4096, "mkdir Windows && echo not-a-folder > Windows/System32"},
    {"no-system32", 4096, "mkdir -p Windows/System && mkdir System32"},
    {"none", 4096, "mkdir Data && echo x > Data/file.txt"},
};

#undef STOW_MANY_FILES

class Volumes {
 public:
  // The image of a recipe, built on first use; empty with `error` set on failure.
  fs::path Get(const std::string& name, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = built_.find(name); it != built_.end()) return it->second;
    if (!dir_) dir_ = std::make_unique<TempDir>();
    for (const VolumeRecipe& r : kRecipes) {
      if (name != r.name) continue;
      const fs::path image = *dir_ / (name + ".img");
      MakeSparseFile(image, 32ull << 20);
      const CommandResult format = Run({"mkntfs", "--fast", "--force", "--quiet", "--cluster-size",
                                        std::to_string(r.clusterSize), image.string()});
      if (format.status != 0) {
        error = "mkntfs: " + format.output;
        return {};
      }
      NtfsMount mount(image.string(), false);
      if (!mount.Ok()) {
        error = "mount: " + mount.Error();
        return {};
      }
      const CommandResult fill = Shell("cd " + Quote(mount.Path().string()) + " && " + r.script);
      if (!mount.Unmount() || fill.status != 0) {
        error = "filling the volume failed: " + fill.output;
        return {};
      }
      return built_[name] = image;
    }
    error = "no recipe " + name;
    return {};
  }

 private:
  std::mutex mutex_;
  std::unique_ptr<TempDir> dir_;
  std::map<std::string, fs::path> built_;
};

Volumes& TheVolumes() {
  static Volumes volumes;
  return volumes;
}

#define STOW_VOLUME(var, name)                                                \
  STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfs-3g"}), false, true); \
  std::string var##Error;                                                     \
  const fs::path var = TheVolumes().Get(name, var##Error);                    \
  ASSERT_FALSE(var.empty()) << var##Error

LookupResult Lookup(const fs::path& image) {
  engine::CDisk disk;
  EXPECT_EQ(disk.InitDisk(platform::VolumeId(image.string()), true), engine::DiskResult::kOk);
  return bootrepair::FindWindowsSystemDirectory(disk);
}

TEST(WindowsVolume, TheSystemFolderIsFoundInAnyCase) {
  STOW_VOLUME(image, "mixed-case");
  EXPECT_TRUE(bootrepair::IsWindowsVolume(platform::VolumeId(image.string())));
}

TEST(WindowsVolume, NamesInIndexBlocksAreFound) {
  // The "Windows" entry of the root and "System32" among 1,500 other names are
  // both in INDX blocks; ntfsinfo confirms the directories have an allocation.
  STOW_VOLUME(image, "large");
  const CommandResult info = test::Run({"ntfsinfo", "-F", "/Windows", image.string()});
  ASSERT_EQ(info.status, 0) << info.output;
  EXPECT_NE(info.output.find("$INDEX_ALLOCATION"), std::string::npos);
  EXPECT_TRUE(bootrepair::IsWindowsVolume(platform::VolumeId(image.string())));

  STOW_VOLUME(small, "small-clusters");
  EXPECT_TRUE(bootrepair::IsWindowsVolume(platform::VolumeId(small.string())));
}

TEST(WindowsVolume, AFileNamedSystem32IsNotASystemFolder) {
  STOW_VOLUME(image, "file");
  EXPECT_FALSE(bootrepair::IsWindowsVolume(platform::VolumeId(image.string())));
  EXPECT_EQ(Lookup(image), LookupResult::kNotDirectory);
}

TEST(WindowsVolume, VolumesWithoutTheSystemFolderAreNotWindowsVolumes) {
  STOW_VOLUME(partial, "no-system32");
  EXPECT_FALSE(bootrepair::IsWindowsVolume(platform::VolumeId(partial.string())));
  EXPECT_EQ(Lookup(partial), LookupResult::kNotFound);
  STOW_VOLUME(none, "none");
  EXPECT_FALSE(bootrepair::IsWindowsVolume(platform::VolumeId(none.string())));
  EXPECT_EQ(Lookup(none), LookupResult::kNotFound);

  TempDir dir;
  MakeSparseFile(dir / "zero.img", 1 << 20);
  EXPECT_FALSE(bootrepair::IsWindowsVolume(platform::VolumeId((dir / "zero.img").string())));
  EXPECT_FALSE(bootrepair::IsWindowsVolume(platform::VolumeId((dir / "absent.img").string())));
}

TEST(WindowsVolume, AMountedVolumeIsReadWithoutDisturbingIt) {
  STOW_VOLUME(image, "mixed-case");
  NtfsMount mount(image.string(), true);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  EXPECT_TRUE(bootrepair::IsWindowsVolume(platform::VolumeId(image.string())));
  EXPECT_TRUE(fs::is_directory(mount.Path() / "WINDOWS" / "system32"));
}

TEST(WindowsVolume, EachDirectoryOfAPathIsLookedUpThroughItsOwnIndex) {
  STOW_VOLUME(image, "large");
  engine::CDisk disk;
  ASSERT_EQ(disk.InitDisk(platform::VolumeId(image.string()), true), engine::DiskResult::kOk);
  engine::ntfs::DirectoryReader reader(disk.Mft());
  engine::ntfs::FoundFile found;
  ASSERT_EQ(reader.FindPath({u"windows", u"ENTRY-WITH-A-RATHER-LONG-NAME-1499"}, found),
            LookupResult::kFound);
  EXPECT_FALSE(found.directory);
  const CommandResult inode =
      test::Run({"ntfsinfo", "-F", "/Windows/entry-with-a-rather-long-name-1499", image.string()});
  ASSERT_EQ(inode.status, 0);
  EXPECT_NE(inode.output.find("Dumping Inode " + std::to_string(found.recordNumber) + " "),
            std::string::npos)
      << inode.output.substr(0, 200);
  EXPECT_EQ(reader.FindPath({u"Windows", u"entry-with-a-rather-long-name-1500"}, found),
            LookupResult::kNotFound);
  EXPECT_EQ(reader.FindPath({u"Windows", u"entry-with-a-rather-long-name-0", u"x"}, found),
            LookupResult::kNotDirectory);
}

}  // namespace
}  // namespace stow::test
