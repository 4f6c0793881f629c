#include "tests/testlib/NtfsFixtures.h"

#include <memory>
#include <mutex>

namespace stow::test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

struct FixtureRecipe {
  const char* name;
  const char* description;
  uint64_t sizeMiB;
  uint32_t clusterSize;
  const char* mountOptions;
  // POSIX shell run inside the mounted volume.
  const char* script;
  std::map<std::string, std::string> files;
  uint64_t fileCount;
};

// Sets FILE_ATTRIBUTE_COMPRESSED (0x800) on a directory through ntfs-3g's attribute
// extended attribute, so that files created in it are compressed.
#define STOW_COMPRESS_DIR(dir)                                                    \
  "python3 -c 'import os, struct; p = \"" dir                                     \
  "\"; a = struct.unpack(\">I\", os.getxattr(p, \"system.ntfs_attrib_be\"))[0]; " \
  "os.setxattr(p, \"system.ntfs_attrib_be\", struct.pack(\">I\", a | 0x800))'"

// Cluster sizes vary across the set so that the record and run arithmetic meets
// clusters smaller than, equal to and larger than a file record.
const std::vector<FixtureRecipe>& Recipes() {
  static const std::vector<FixtureRecipe> recipes = {
      {"empty", "a freshly formatted volume", 16, 4096, "", "", {}, 0},
      {"many-files",
       "5,200 small files in 26 folders and a few larger ones: three 2,048-record windows",
       32,
       4096,
       "",
       "d=0; while [ $d -lt 26 ]; do mkdir dir$d; i=0; "
       "while [ $i -lt 200 ]; do echo \"file $d/$i\" > dir$d/f$i.txt; i=$((i+1)); done; "
       "d=$((d+1)); done; "
       "head -c 300000 /dev/urandom > dir0/big.bin; head -c 70000 /dev/urandom > dir25/mid.bin",
       {{"big", "/dir0/big.bin"}},
       5202},
      {"fragmented",
       "files grown by interleaved appends, and a file written into the holes left by "
       "deleting every other file",
       24,
       2048,
       "",
       "mkdir interleaved holes; r=0; while [ $r -lt 16 ]; do for f in a b c d; do "
       "head -c 32768 /dev/urandom >> interleaved/$f.bin; done; r=$((r+1)); done; "
       "i=0; while [ $i -lt 40 ]; do head -c 65536 /dev/urandom > holes/fill$i.bin; i=$((i+1)); "
       "done; i=0; while [ $i -lt 40 ]; do rm holes/fill$i.bin; i=$((i+2)); done; "
       "avail=$(df -B1 --output=avail . | tail -n 1); "
       "head -c $((avail - 2097152)) /dev/urandom > holes/big.bin",
       {{"fragmented", "/interleaved/a.bin"}, {"holes", "/holes/big.bin"}},
       26},
      {"sparse",
       "files with holes, and one that is all hole",
       24,
       1024,
       "",
       "mkdir sparse; truncate -s 16M sparse/holes.bin; "
       "dd if=/dev/urandom of=sparse/holes.bin bs=4096 count=8 seek=100 conv=notrunc status=none; "
       "dd if=/dev/urandom of=sparse/holes.bin bs=4096 count=3 seek=2000 conv=notrunc "
       "status=none; "
       "dd if=/dev/urandom of=sparse/holes.bin bs=4096 count=1 seek=4095 conv=notrunc "
       "status=none; "
       "truncate -s 8M sparse/all-hole.bin",
       {{"sparse", "/sparse/holes.bin"}, {"all-hole", "/sparse/all-hole.bin"}},
       2},
      {"compressed",
       "compressible and incompressible files in a compressed folder",
       24,
       4096,
       "compression",
       "mkdir comp && " STOW_COMPRESS_DIR(
           "comp") " && "
                   "yes 'compressible text line for the engine' | head -c 400000 > comp/text.txt; "
                   "seq 1 20000 > comp/numbers.txt; head -c 100000 /dev/urandom > comp/random.bin",
       {{"compressed", "/comp/text.txt"}},
       3},
      {"streams",
       "files with named data streams, resident and non-resident",
       16,
       512,
       "streams_interface=windows",
       "echo 'host file' > host.txt && echo 'small stream' > host.txt:small && "
       "head -c 200000 /dev/urandom > host.txt:large && "
       "head -c 50000 /dev/urandom > data.bin && echo tag > data.bin:tag",
       {{"streams", "/host.txt"}},
       2},
      {"resident",
       "300 small files whose data stays in their file records, and an empty file",
       16,
       4096,
       "",
       "mkdir small; i=0; while [ $i -lt 300 ]; do "
       "head -c $((i*2)) /dev/zero | tr '\\0' r > small/r$i.txt; i=$((i+1)); done; : > empty.txt",
       {},
       301},
      {"large-dir",
       "one folder of 2,500 long file names: a multi-block directory index",
       24,
       512,
       "",
       "mkdir big; i=0; while [ $i -lt 2500 ]; do "
       "echo $i > big/a-long-file-name-that-fills-the-directory-index-quickly-$i.txt; "
       "i=$((i+1)); done",
       {{"directory", "/big"}},
       2500},
      {"non-ascii",
       "file and folder names outside ASCII, including a character beyond U+FFFF",
       16,
       8192,
       "",
       "mkdir 'Ünïcödé' && echo 'grüße' > 'Ünïcödé/Grüße.txt' && echo '日本' > "
       "'日本語のファイル.txt' "
       "&& echo greek > 'Ελληνικά.txt' && head -c 70000 /dev/urandom > 'emoji-😀.bin' && "
       "echo cyrillic > 'Кириллица.txt'",
       {{"emoji", "/emoji-😀.bin"}},
       4},
      {"mft-extents",
       "a $MFT grown in many small pieces until record 0 needs an attribute list and its "
       "$DATA continues in an extension record",
       10,
       1024,
       "",
       // Fill the volume with 1-cluster files, delete every other one, then grow the
       // $MFT one step (16 records) at a time into the 1-cluster holes; the fill goes
       // afterwards, so the volume restores onto one of its own size.
       R"(python3 -c '
import os
os.mkdir("fill"); os.mkdir("grow"); os.mkdir("data")
block = os.urandom(1000)
n = 0
try:
    while True:
        with open("fill/f%d" % n, "wb") as f: f.write(block)
        n += 1
except OSError:
    pass
for i in range(0, n, 2): os.remove("fill/f%d" % i)
for i in range(n // 2 + 1000):
    with open("grow/g%d" % i, "wb") as f: f.write(b"record %d" % i)
for name in os.listdir("fill"): os.remove("fill/" + name)
os.rmdir("fill")
' && head -c 300000 /dev/urandom > data/a.bin && head -c 40000 /dev/urandom > data/b.bin)",
       {{"data", "/data/a.bin"}},
       2000},
  };
  return recipes;
}

#undef STOW_COMPRESS_DIR

struct Store {
  std::mutex lock;
  std::unique_ptr<TempDir> dir;
  std::map<std::string, std::unique_ptr<NtfsFixture>> built;
  std::map<std::string, std::string> failed;
};

Store& TheStore() {
  static Store store;
  return store;
}

std::string BuildImage(const FixtureRecipe& recipe, const fs::path& image) {
  MakeSparseFile(image, recipe.sizeMiB * kMiB);
  const CommandResult format =
      Run({"mkntfs", "--fast", "--force", "--quiet", "--cluster-size",
           std::to_string(recipe.clusterSize), "--label", recipe.name, image.string()});
  if (format.status != 0) return "mkntfs failed: " + format.output;
  if (recipe.script[0] == '\0') return {};
  NtfsMount mount(image.string(), false, recipe.mountOptions);
  if (!mount.Ok()) return "ntfs-3g mount failed: " + mount.Error();
  const CommandResult fill =
      Shell("set -e; cd " + Quote(mount.Path().string()) + "; " + recipe.script);
  if (!mount.Unmount()) return "the volume could not be unmounted";
  if (fill.status != 0) return "filling the volume failed: " + fill.output;
  return {};
}

const FixtureRecipe* FindRecipe(const std::string& name) {
  for (const FixtureRecipe& r : Recipes()) {
    if (name == r.name) return &r;
  }
  return nullptr;
}

}  // namespace

std::string NtfsFixturesMissing() {
  return MissingForIntegration({"mkntfs", "ntfs-3g", "ntfsinfo", "python3", "umount", "stat"},
                               false, true);
}

const std::vector<std::string>& NtfsFixtureNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const FixtureRecipe& r : Recipes()) out.emplace_back(r.name);
    return out;
  }();
  return names;
}

const NtfsFixture* GetNtfsFixture(const std::string& name, std::string* error) {
  auto fail = [error](const std::string& why) -> const NtfsFixture* {
    if (error) *error = why;
    return nullptr;
  };
  const FixtureRecipe* recipe = FindRecipe(name);
  if (recipe == nullptr) return fail("no NTFS fixture named '" + name + "'");
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  if (auto it = store.built.find(name); it != store.built.end()) return it->second.get();
  if (auto it = store.failed.find(name); it != store.failed.end()) return fail(it->second);
  if (const std::string missing = NtfsFixturesMissing(); !missing.empty()) return fail(missing);
  if (!store.dir) store.dir = std::make_unique<TempDir>();

  auto fixture = std::make_unique<NtfsFixture>();
  fixture->name = recipe->name;
  fixture->description = recipe->description;
  fixture->image = *store.dir / (name + ".img");
  fixture->clusterSize = recipe->clusterSize;
  fixture->files = recipe->files;
  fixture->fileCount = recipe->fileCount;
  if (const std::string why = BuildImage(*recipe, fixture->image); !why.empty()) {
    store.failed[name] = "NTFS fixture '" + name + "': " + why;
    return fail(store.failed[name]);
  }
  return (store.built[name] = std::move(fixture)).get();
}

std::vector<const NtfsFixture*> AllNtfsFixtures(std::string* error) {
  std::vector<const NtfsFixture*> all;
  for (const std::string& name : NtfsFixtureNames()) {
    const NtfsFixture* fixture = GetNtfsFixture(name, error);
    if (fixture == nullptr) return {};
    all.push_back(fixture);
  }
  return all;
}

bool CopyNtfsFixture(const NtfsFixture& fixture, const fs::path& target) {
  return Run({"cp", "--sparse=always", fixture.image.string(), target.string()}).status == 0;
}

int64_t InodeOf(const fs::path& image, const std::string& pathInVolume) {
  NtfsMount mount(image.string(), true);
  if (!mount.Ok()) return -1;
  const CommandResult r = Run({"stat", "-c", "%i", mount.Path().string() + pathInVolume});
  if (r.status != 0) return -1;
  try {
    return std::stoll(r.output);
  } catch (...) {
    return -1;
  }
}

}  // namespace stow::test
