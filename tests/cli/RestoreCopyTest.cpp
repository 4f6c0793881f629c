// stowline-cli restore and copy from end to end on real volumes: every fixture
// volume backed up and restored, and copied, each result compared with its
// source through ntfs-3g by the full tree comparison; a copy between two
// partitions of an MBR disk on a loop device; and the refusals, the failed
// format and Ctrl-C as the command line reports them.
#include <algorithm>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/testlib/DiskFixtures.h"
#include "tests/testlib/NtfsFixtures.h"
#include "tests/testlib/TestUtil.h"
#include "tests/testlib/TreeCompare.h"

namespace stow::test {
namespace {

constexpr const char* kRestored = "The partition is restored successfully.";
constexpr const char* kCopied = "The partition is copied successfully.";
constexpr uint64_t kRichMiB = 48;
constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kBigVolumeBytes = 512 * kMiB;
constexpr uint64_t kInterruptAfterBytes = 48 * kMiB;

// Hard links, symbolic links, streams, a sparse and a compressed file, NTFS
// attribute bits and a deep tree: everything the tree comparison looks at.
const char* const kRichContent =
    "mkdir -p tree/a/b/c docs && echo one > tree/a/b/c/one.txt && "
    "head -c 150000 /dev/urandom > docs/random.bin && ln docs/random.bin docs/hard-link.bin && "
    "ln -s ../docs/random.bin tree/link && echo host > docs/host.txt && "
    "echo small > docs/host.txt:small && head -c 90000 /dev/urandom > docs/host.txt:large && "
    "truncate -s 6M docs/sparse.bin && "
    "dd if=/dev/urandom of=docs/sparse.bin bs=4096 count=5 seek=700 conv=notrunc status=none && "
    "mkdir comp && python3 -c 'import os, struct; a = struct.unpack(\"<I\", "
    "os.getxattr(\"comp\", \"system.ntfs_attrib\"))[0]; os.setxattr(\"comp\", "
    "\"system.ntfs_attrib\", struct.pack(\"<I\", a | 0x800))' && "
    "yes 'a compressible line' | head -c 300000 > comp/text.txt && "
    "echo hidden > hidden.txt && python3 -c 'import os, struct; a = struct.unpack(\"<I\", "
    "os.getxattr(\"hidden.txt\", \"system.ntfs_attrib\"))[0]; os.setxattr(\"hidden.txt\", "
    "\"system.ntfs_attrib\", struct.pack(\"<I\", a | 0x2))'";

// The bytes of a file from `skip` on.
std::string FileBytes(const fs::path& file, uint64_t skip) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(skip));
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

std::vector<std::string> RequiredTools() {
  return {"mkntfs", "ntfs-3g", "ntfsinfo", "python3", "sfdisk", "sgdisk", "mkfs.vfat"};
}

class RestoreCopyCli : public ::testing::Test {
 protected:
  void SetUp() override {
    STOW_REQUIRE(RequiredTools(), true, true);
    STOW_REQUIRE_NTFS_FIXTURES();
  }

  // Backs `volume` up through the CLI into `image`.
  static void Backup(const std::string& volume, const fs::path& image) {
    const CommandResult r = RunCli({"backup", volume, image.string(), "--yes", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.output;
  }

  static void ExpectSameTree(const std::string& a, const std::string& b) {
    const auto differences = CompareNtfsVolumes(a, b);
    EXPECT_TRUE(differences.empty()) << a << " vs " << b << ":\n" << DifferencesText(differences);
  }

  TempDir dir_;
};

TEST_F(RestoreCopyCli, EveryFixtureRestoresToTheSameTree) {
  std::string error;
  const auto fixtures = AllNtfsFixtures(&error);
  ASSERT_FALSE(fixtures.empty()) << error;
  for (const NtfsFixture* fixture : fixtures) {
    SCOPED_TRACE(fixture->name);
    const fs::path image = dir_ / (fixture->name + ".vmg");
    const fs::path destination = dir_ / (fixture->name + "-restored.img");
    ASSERT_NO_FATAL_FAILURE(Backup(fixture->image.string(), image));
    // At least the source's size, and the image's size and a tenth (a nearly
    // full source needs a larger destination).
    const uint64_t needed = fs::file_size(image) + fs::file_size(image) / 10;
    MakeSparseFile(destination, std::max<uint64_t>(fs::file_size(fixture->image),
                                                   (needed + kMiB - 1) / kMiB * kMiB));
    const CommandResult r =
        RunCli({"restore", image.string(), destination.string(), "--yes", "--quiet"});
    if (r.status != 0) {
      ADD_FAILURE() << r.output;  // and go on with the next fixture
      continue;
    }
    EXPECT_NE(r.output.find(kRestored), std::string::npos) << r.output;
    ExpectSameTree(fixture->image.string(), destination.string());
    fs::remove(image);
    fs::remove(destination);
  }
}

TEST_F(RestoreCopyCli, EveryFixtureCopiesBetweenImageFiles) {
  std::string error;
  const auto fixtures = AllNtfsFixtures(&error);
  ASSERT_FALSE(fixtures.empty()) << error;
  for (const NtfsFixture* fixture : fixtures) {
    SCOPED_TRACE(fixture->name);
    const fs::path destination = dir_ / (fixture->name + "-copy.img");
    MakeSparseFile(destination, fs::file_size(fixture->image));
    const CommandResult r =
        RunCli({"copy", fixture->image.string(), destination.string(), "--yes", "--quiet"});
    if (r.status != 0) {
      ADD_FAILURE() << r.output;  // and go on with the next fixture
      continue;
    }
    EXPECT_NE(r.output.find(kCopied), std::string::npos) << r.output;
    ExpectSameTree(fixture->image.string(), destination.string());
    // The destination got the source's cluster size from the format.
    const CommandResult info = test::Run({"ntfsinfo", "-m", destination.string()});
    EXPECT_NE(info.output.find("Cluster Size: " + std::to_string(fixture->clusterSize)),
              std::string::npos);
    fs::remove(destination);
  }
}

TEST_F(RestoreCopyCli, CopiesAndRestoresBetweenPartitionsOfALoopDisk) {
  DiskFixtureOptions options;
  options.ntfsMiB = kRichMiB;
  const DiskFixture disk = MakeMbrLogicalDisk(dir_.Path(), options);
  ASSERT_TRUE(disk.Ok()) << disk.error;
  LoopDevice loop(disk.image);
  ASSERT_TRUE(loop.Ok());
  {
    NtfsMount mount(loop.Partition(5), false, "compression,streams_interface=windows");
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    const CommandResult fill = Shell("cd " + Quote(mount.Path().string()) + " && " + kRichContent);
    ASSERT_EQ(fill.status, 0) << fill.output;
  }
  // Logical partition 5 onto logical partition 6, then primary partition 1;
  // both read back what they wrote, the last line of progress says so.
  CommandResult r = RunCli({"copy", loop.Partition(5), loop.Partition(6), "--yes", "--verify"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Verifying 100%"), std::string::npos) << r.output;
  ExpectSameTree(loop.Partition(5), loop.Partition(6));

  const fs::path image = dir_ / "p5.vmg";
  ASSERT_NO_FATAL_FAILURE(Backup(loop.Partition(5), image));
  r = RunCli({"restore", image.string(), loop.Partition(1), "--verify", "--yes"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Verifying 100%"), std::string::npos) << r.output;
  ExpectSameTree(loop.Partition(5), loop.Partition(1));

  // Each destination still records where it starts on the disk.
  for (const int number : {1, 6}) {
    const CommandResult hidden = Shell("od -An -tu4 -j28 -N4 " + Quote(loop.Partition(number)));
    EXPECT_EQ(std::stoull(hidden.output), disk.Partition(number)->start) << number;
  }
}

TEST_F(RestoreCopyCli, HelpExplainsVerify) {
  for (const char* command : {"restore", "copy"}) {
    const CommandResult r = RunCli({command, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("[--verify]"), std::string::npos) << command;
    EXPECT_NE(r.output.find("The $MFT, its mirror and the $LogFile"), std::string::npos) << command;
    EXPECT_NE(r.output.find("  36   The verification found that the destination does not hold"),
              std::string::npos)
        << r.output;
  }
}

TEST_F(RestoreCopyCli, RefusalsWriteNothing) {
  const NtfsFixture* fixture = GetNtfsFixture("streams");
  ASSERT_NE(fixture, nullptr);
  const fs::path image = dir_ / "streams.vmg";
  ASSERT_NO_FATAL_FAILURE(Backup(fixture->image.string(), image));
  const fs::path destination = dir_ / "dest.img";
  ASSERT_TRUE(CopyNtfsFixture(*fixture, destination));
  const std::string before = FileBytes(destination, 0);

  // No terminal and no --yes: nothing can be asked, nothing is done.
  CommandResult r = RunCli({"restore", image.string(), destination.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("restore: no terminal to ask for confirmation; add --yes to restore"),
            std::string::npos)
      << r.output;
  {
    NtfsMount mount(destination.string(), true);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    r = RunCli({"restore", image.string(), destination.string(), "--yes"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("stowline-cli: restore: The destination partition is in use (mounted "
                            "at " +
                            mount.Path().string() + "). Please unmount it first."),
              std::string::npos)
        << r.output;
    r = RunCli({"copy", fixture->image.string(), destination.string(), "--yes"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("copy: The destination partition is in use"), std::string::npos);
  }
  r = RunCli({"copy", destination.string(), destination.string(), "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("copy: The destination volume must be different from the source "
                          "volume. "),
            std::string::npos)
      << r.output;
  EXPECT_TRUE(FileBytes(destination, 0) == before) << "the destination was written";
}

TEST_F(RestoreCopyCli, AFailedFormatStopsBeforeTheEngineWrites) {
  const NtfsFixture* fixture = GetNtfsFixture("streams");
  ASSERT_NE(fixture, nullptr);
  const fs::path image = dir_ / "streams.vmg";
  ASSERT_NO_FATAL_FAILURE(Backup(fixture->image.string(), image));
  const fs::path destination = dir_ / "dest.img";
  ASSERT_TRUE(CopyNtfsFixture(*fixture, destination));
  const std::string beyondBootSector = FileBytes(destination, 512);

  // A format program that fails, in place of the system's for these runs.
  const std::string failing = "echo 'no format today' >&2\nexit 1";
  const CommandResult restore = RunCliWithStandIn(
      "mkntfs", failing, {"restore", image.string(), destination.string(), "--yes", "--quiet"});
  const CommandResult copy = RunCliWithStandIn(
      "mkntfs", failing,
      {"copy", fixture->image.string(), destination.string(), "--yes", "--quiet"});

  for (const CommandResult& r : {restore, copy}) {
    EXPECT_EQ(r.status, 1) << r.output;
    // What failed and where, not only a request to format by hand.
    EXPECT_NE(r.output.find(": The destination " + destination.string() +
                            " could not be formatted: the format program reported a failure."),
              std::string::npos)
        << r.output;
  }
  // Only the old volume's id was cleared; nothing of the image reached the destination.
  EXPECT_TRUE(FileBytes(destination, 512) == beyondBootSector) << "the destination was written";
  NtfsMount mount(destination.string(), true);
  EXPECT_FALSE(mount.Ok()) << "a volume that failed to format must not pass for one";
}

TEST_F(RestoreCopyCli, CtrlCStopsARestoreAndLeavesAnEmptyVolume) {
  const fs::path source = dir_ / "big.img";
  MakeSparseFile(source, kBigVolumeBytes);
  ASSERT_EQ(test::Run({"mkntfs", "-q", "-F", "-f", source.string()}).status, 0);
  {
    NtfsMount mount(source.string(), false);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    ASSERT_EQ(Shell("dd if=/dev/zero bs=1M count=256 status=none of=" +
                    Quote((mount.Path() / "big.bin").string()))
                  .status,
              0);
  }
  const fs::path image = dir_ / "big.vmg";
  ASSERT_NO_FATAL_FAILURE(Backup(source.string(), image));
  const fs::path destination = dir_ / "dest.img";
  MakeSparseFile(destination, kBigVolumeBytes);
  const fs::path out = dir_ / "out.txt";
  // Interrupt once the restore has placed some of its data: the destination
  // file then holds far more than the format wrote.
  const std::string script =
      Quote(STOWLINE_CLI_PATH) + " restore " + Quote(image.string()) + " " +
      Quote(destination.string()) + " --yes > " + Quote(out.string()) + " 2>&1 & pid=$!; " +
      "while [ $(stat -c %b " + Quote(destination.string()) + ") -lt " +
      std::to_string(kInterruptAfterBytes / 512) + " ]; do " +
      "if ! kill -0 $pid 2>/dev/null; then wait $pid; echo finished:$?; exit 0; fi; " +
      "sleep 0.01; done; kill -INT $pid; wait $pid; echo status:$?";
  const CommandResult r = Shell(script);
  if (r.output.find("finished:") != std::string::npos) {
    GTEST_SKIP() << "the restore ended before it could be interrupted: " << r.output;
  }
  EXPECT_NE(r.output.find("status:25"), std::string::npos) << r.output;
  std::ifstream text(out);
  const std::string printed((std::istreambuf_iterator<char>(text)), {});
  EXPECT_NE(printed.find("The operation is stopped."), std::string::npos) << printed;
  EXPECT_NE(printed.find("The destination is an empty volume again."), std::string::npos)
      << printed;
  NtfsMount mount(destination.string(), true);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  EXPECT_TRUE(fs::is_empty(mount.Path()));
}

}  // namespace
}  // namespace stow::test
