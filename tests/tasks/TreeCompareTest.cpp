// The tree comparison must catch every kind of difference a copy or restore can
// introduce, and report none between identical volumes. Two real NTFS volumes:
// A filled through ntfs-3g, B a copy of A's image with one difference planted
// per path.
#include <sys/xattr.h>

#include <cstring>
#include <memory>

#include "tests/testlib/TestUtil.h"
#include "tests/testlib/TreeCompare.h"

namespace stow::test {
namespace {

constexpr uint64_t kVolumeBytes = 48ull << 20;
constexpr uint32_t kHiddenBit = 0x2;

const char* const kFillA =
    "echo same > same.txt && echo content-a > content.txt && echo short > size.txt && "
    "echo gone > gone.txt && mkdir dir_gone && echo 1 > dir_gone/one && echo 2 > dir_gone/two && "
    "echo host > stream_changed.txt && echo alpha > stream_changed.txt:alpha && "
    "echo host > stream_removed.txt && echo beta > stream_removed.txt:beta && "
    "echo host > big_stream.txt && head -c 300000 /dev/urandom > big_stream.txt:large && "
    "truncate -s 4M sparse.bin && "
    "dd if=/dev/urandom of=sparse.bin bs=4096 count=4 seek=600 conv=notrunc status=none && "
    "mkdir comp && python3 -c 'import os, struct; a = struct.unpack(\"<I\", "
    "os.getxattr(\"comp\", \"system.ntfs_attrib\"))[0]; os.setxattr(\"comp\", "
    "\"system.ntfs_attrib\", struct.pack(\"<I\", a | 0x800))' && "
    "yes 'compressible line' | head -c 200000 > comp/text.txt && "
    "echo linked > link_a && ln link_a link_b && ln -s target1 sym && "
    "echo h > hidden.txt && echo t > times.txt && echo a > acl.txt && "
    "mkdir -p deep/er/still && head -c 70000 /dev/urandom > deep/er/still/data.bin";

// Each line changes exactly the path named in kPlanted below.
const char* const kPlantB =
    "echo content-b > content.txt && echo longer-now >> size.txt && rm gone.txt && "
    "rm -r dir_gone && echo ALPHA > stream_changed.txt:alpha && rm stream_removed.txt:beta && "
    "dd if=/dev/zero of=sparse.bin bs=4096 count=16 seek=10 conv=notrunc status=none && "
    "python3 -c 'import os, struct; a = struct.unpack(\"<I\", "
    "os.getxattr(\"comp\", \"system.ntfs_attrib\"))[0]; os.setxattr(\"comp\", "
    "\"system.ntfs_attrib\", struct.pack(\"<I\", a & ~0x800))' && "
    "cp comp/text.txt /tmp/stow-tree-text.$$ && rm comp/text.txt && "
    "cat /tmp/stow-tree-text.$$ > comp/text.txt && rm /tmp/stow-tree-text.$$ && "
    "rm link_b && echo linked > link_b && rm sym && ln -s target2 sym && "
    "touch -d 2001-02-03 times.txt && echo extra > extra.txt";

struct Planted {
  const char* path;
  const char* what;    // the kind of difference that must be reported there
  const char* detail;  // a part of its detail, or empty
};

const Planted kPlanted[] = {
    {"content.txt", "content", ""},
    {"size.txt", "size", ""},
    {"gone.txt", "missing in B", ""},
    {"dir_gone", "missing in B", "2 entries below"},
    {"stream_changed.txt", "stream 'alpha'", ""},
    {"stream_removed.txt", "stream 'beta'", "missing in B"},
    {"sparse.bin", "allocated size", ""},
    {"comp", kNtfsAttribXattr, "compressed"},
    {"comp/text.txt", kNtfsAttribXattr, "compressed"},
    {"link_a", "hard links", "link_b"},
    {"sym", "link target", "target2"},
    {"hidden.txt", kNtfsAttribXattr, ""},
    {"times.txt", kNtfsTimesXattr, ""},
    {"acl.txt", kNtfsAclXattr, ""},
    {"extra.txt", "missing in A", ""},
};

// Paths whose own times change when a planted entry in them changes.
const char* const kParents[] = {""};

bool SetAttribBits(const fs::path& file, uint32_t bits) {
  uint32_t value = 0;
  if (::getxattr(file.c_str(), kNtfsAttribXattr, &value, sizeof value) != sizeof value) {
    return false;
  }
  value |= bits;
  return ::setxattr(file.c_str(), kNtfsAttribXattr, &value, sizeof value, 0) == 0;
}

// Makes the owner of a file's security descriptor "Users" (S-1-5-32-545)
// instead of "Administrators" (S-1-5-32-544): still a valid descriptor.
bool ChangeOwner(const fs::path& file) {
  std::string acl(4096, '\0');
  const ssize_t size = ::getxattr(file.c_str(), kNtfsAclXattr, acl.data(), acl.size());
  if (size <= 0) return false;
  acl.resize(static_cast<size_t>(size));
  const std::string admins("\x20\x02\x00\x00", 4);
  const size_t at = acl.find(admins);
  if (at == std::string::npos) return false;
  acl[at] = '\x21';
  return ::setxattr(file.c_str(), kNtfsAclXattr, acl.data(), acl.size(), 0) == 0;
}

struct Volumes {
  TempDir dir;
  fs::path a;
  fs::path b;
  fs::path copyOfA;
  std::string error;
};

std::string BuildVolumes(Volumes& v) {
  const char* options = "compression,streams_interface=windows";
  v.a = v.dir / "a.img";
  v.b = v.dir / "b.img";
  v.copyOfA = v.dir / "a-copy.img";
  MakeSparseFile(v.a, kVolumeBytes);
  CommandResult r = Run({"mkntfs", "-q", "-F", "-f", v.a.string()});
  if (r.status != 0) return "mkntfs: " + r.output;
  {
    NtfsMount mount(v.a.string(), false, options);
    if (!mount.Ok()) return "mount A: " + mount.Error();
    r = Shell("cd " + Quote(mount.Path().string()) + " && " + kFillA);
    if (r.status != 0) return "fill A: " + r.output;
  }
  for (const fs::path& copy : {v.b, v.copyOfA}) {
    r = Run({"cp", "--sparse=always", v.a.string(), copy.string()});
    if (r.status != 0) return "cp: " + r.output;
  }
  NtfsMount mount(v.b.string(), false, options);
  if (!mount.Ok()) return "mount B: " + mount.Error();
  r = Shell("cd " + Quote(mount.Path().string()) + " && " + kPlantB);
  if (r.status != 0) return "plant B: " + r.output;
  if (!SetAttribBits(mount.Path() / "hidden.txt", kHiddenBit)) return "hidden bit not set";
  if (!ChangeOwner(mount.Path() / "acl.txt")) return "owner not changed";
  return {};
}

class TreeCompareTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!MissingForIntegration({"mkntfs", "ntfs-3g", "python3"}, false, true).empty()) return;
    volumes_ = std::make_unique<Volumes>();
    volumes_->error = BuildVolumes(*volumes_);
  }
  static void TearDownTestSuite() { volumes_.reset(); }

  void SetUp() override {
    STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfs-3g", "python3"}), false, true);
    ASSERT_TRUE(volumes_->error.empty()) << volumes_->error;
  }

  static std::unique_ptr<Volumes> volumes_;
};

std::unique_ptr<Volumes> TreeCompareTest::volumes_;

TEST_F(TreeCompareTest, IdenticalVolumesShowNoDifference) {
  const auto differences = CompareNtfsVolumes(volumes_->a.string(), volumes_->copyOfA.string());
  EXPECT_TRUE(differences.empty()) << DifferencesText(differences);
}

TEST_F(TreeCompareTest, SnapshotSeesEverythingThatIsCompared) {
  NtfsMount mount(volumes_->a.string(), true, kTreeMountOptions);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  const TreeSnapshot snap = SnapshotTree(mount.Path());
  EXPECT_TRUE(snap.errors.empty()) << snap.errors.front();
  ASSERT_TRUE(snap.entries.contains("big_stream.txt"));
  EXPECT_TRUE(snap.entries.at("big_stream.txt").streams.at("large").starts_with("300000:"));
  EXPECT_TRUE(snap.hardLinkGroups.contains({"link_a", "link_b"}));
  EXPECT_EQ(snap.entries.at("sym").linkTarget, "target1");
  EXPECT_EQ(snap.entries.at("deep/er/still/data.bin").size, 70000u);
  for (const auto& [path, entry] : snap.entries) {
    EXPECT_TRUE(entry.xattrs.contains(kNtfsAttribXattr)) << path;
    EXPECT_TRUE(entry.xattrs.contains(kNtfsTimesXattr)) << path;
    EXPECT_TRUE(entry.xattrs.contains(kNtfsAclXattr)) << path;
  }
  // The sparse file's allocation is far below its size; the compressed one's too.
  EXPECT_LT(snap.entries.at("sparse.bin").allocatedBlocks * 512, 1u << 20);
  EXPECT_LT(snap.entries.at("comp/text.txt").allocatedBlocks * 512, 200000u);
}

TEST_F(TreeCompareTest, EveryPlantedDifferenceIsReportedAtItsPath) {
  const auto differences = CompareNtfsVolumes(volumes_->a.string(), volumes_->b.string());
  const std::string all = DifferencesText(differences, 200);
  for (const Planted& p : kPlanted) {
    bool found = false;
    for (const TreeDifference& d : differences) {
      if (d.path == p.path && d.what.starts_with(p.what) &&
          d.detail.find(p.detail) != std::string::npos) {
        found = true;
      }
    }
    EXPECT_TRUE(found) << "no '" << p.what << "' at " << p.path << "; reported:\n" << all;
  }
  // Nothing is reported where nothing was planted.
  for (const TreeDifference& d : differences) {
    bool expected = false;
    for (const Planted& p : kPlanted) expected = expected || d.path == p.path;
    for (const char* parent : kParents) expected = expected || d.path == parent;
    // The second name of the broken hard link is a new file with its own times.
    expected = expected || d.path == "link_b";
    EXPECT_TRUE(expected) << "unexpected: " << d.Text();
  }
}

TEST_F(TreeCompareTest, IgnoredPathsAndTimesCanBeLeftOut) {
  TreeCompareOptions options;
  options.compareTimes = false;
  for (const Planted& p : kPlanted) options.ignore.insert(p.path);
  options.ignore.insert("link_b");
  const auto differences = CompareNtfsVolumes(volumes_->a.string(), volumes_->b.string(), options);
  EXPECT_TRUE(differences.empty()) << DifferencesText(differences);
}

TEST(TreeCompareHash, MatchesKnownDigests) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace stow::test
