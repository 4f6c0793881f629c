// What stowline-cli says when something goes wrong, end to end: a restore whose
// disk check finds the destination damaged, a volume whose $MFT cannot be read,
// a read-only file system as backup target, a destination that cannot be
// written, usage errors, and where the log goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "tests/testlib/TestUtil.h"

namespace stow::test {
namespace {

constexpr uint64_t kMiB = 1 << 20;

size_t Lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A tmpfs mounted on a private folder, unmounted when destroyed.
class TmpfsMount {
 public:
  TmpfsMount(const fs::path& dir, const std::string& options) : dir_(dir) {
    fs::create_directories(dir_);
    mounted_ = Run({"mount", "-t", "tmpfs", "-o", options, "tmpfs", dir_.string()}).status == 0;
  }
  ~TmpfsMount() {
    if (mounted_) Run({"umount", dir_.string()});
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;
  bool Ok() const { return mounted_; }

 private:
  fs::path dir_;
  bool mounted_ = false;
};

class CliMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfs-3g", "ntfsfix", "python3"}), false,
                 true);
  }

  // An NTFS volume in an image file holding a few files.
  fs::path MakeVolume(const std::string& name) {
    const fs::path image = dir_ / name;
    MakeSparseFile(image, 16 * kMiB);
    EXPECT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", image.string()}).status, 0);
    NtfsMount mount(image.string(), false);
    EXPECT_TRUE(mount.Ok()) << mount.Error();
    std::ofstream(mount.Path() / "one.txt") << "one";
    std::ofstream(mount.Path() / "two.bin") << std::string(200000, 'x');
    return image;
  }

  TempDir dir_;
};

TEST_F(CliMessages, ARestoreWhoseDiskCheckFailsExitsWithTheDiskCheckStatusAndSaysWhatToDo) {
  const fs::path source = MakeVolume("source.img");
  const fs::path image = dir_ / "source.vmg";
  ASSERT_EQ(RunCli({"backup", source.string(), image.string(), "--yes", "--quiet"}).status, 0);
  const fs::path destination = dir_ / "destination.img";
  MakeSparseFile(destination, 16 * kMiB);

  // The real checker, run on a destination that a failing disk damaged between
  // the restore and the check: ntfsfix itself finds it corrupt.
  // The stand-in takes the place of the system's ntfsfix for this run only and
  // hands over to a copy of the real one.
  const std::string real = Shell("command -v ntfsfix").output;
  ASSERT_FALSE(real.empty());
  const fs::path copy = dir_ / "ntfsfix.real";
  fs::copy_file(real.substr(0, real.find('\n')), copy);
  const std::string script =
      "for volume; do :; done\n"
      "python3 -c 'import struct, sys\n"
      "f = open(sys.argv[1], \"r+b\"); b = f.read(512)\n"
      "c = struct.unpack(\"<H\", b[11:13])[0] * b[13]\n"
      "for o in (48, 56):\n"
      "    f.seek(struct.unpack(\"<Q\", b[o:o + 8])[0] * c); f.write(bytes(4096))' \"$volume\"\n"
      "exec " + copy.string() + " \"$@\"";
  const CommandResult r = RunCliWithStandIn(
      "ntfsfix", script, {"restore", image.string(), destination.string(), "--yes", "--quiet"});
  EXPECT_EQ(r.status, 101) << r.output;
  EXPECT_TRUE(Has(r.output, "restore: The disk check of " + destination.string() +
                                " failed: ntfsfix ended with status 1 (Volume is corrupt. You "
                                "should run chkdsk.). The data was written, but the file system "
                                "may be damaged"))
      << r.output;
  EXPECT_FALSE(Has(r.output, "successfully")) << r.output;
  EXPECT_EQ(Lines(r.output), 1u) << r.output;
}

TEST_F(CliMessages, InfoOnAVolumeWhoseMftCannotBeReadFailsWithOneLine) {
  const fs::path volume = MakeVolume("cut.img");
  // Cut the file just after record 0: the rest of the $MFT is gone.
  std::ifstream in(volume, std::ios::binary);
  std::array<unsigned char, 512> boot{};
  in.read(reinterpret_cast<char*>(boot.data()), boot.size());
  const uint64_t cluster = (boot[11] | (boot[12] << 8)) * uint64_t{boot[13]};
  uint64_t mft = 0;
  for (size_t i = 0; i < 8; ++i) mft |= uint64_t{boot[48 + i]} << (8 * i);
  in.close();
  fs::resize_file(volume, mft * cluster + 1024);
  const CommandResult r = RunCli({"info", volume.string()});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_EQ(Lines(r.output), 1u) << r.output;
  EXPECT_TRUE(Has(r.output, "info: " + volume.string() + ": ")) << r.output;
  EXPECT_FALSE(Has(r.output, "File records")) << "no summary of zeros";
}

TEST_F(CliMessages, ABackupOntoAReadOnlyFileSystemNamesThePathAndTheSystemsWords) {
  const fs::path source = MakeVolume("source.img");
  TmpfsMount readOnly(dir_ / "ro", "ro,size=64m");
  ASSERT_TRUE(readOnly.Ok());
  const fs::path image = dir_ / "ro" / "backup.vmg";
  const CommandResult r = RunCli({"backup", source.string(), image.string(), "--yes", "--quiet"});
  EXPECT_NE(r.status, 0);
  EXPECT_FALSE(Has(r.output, "Running Error!")) << r.output;
  EXPECT_TRUE(Has(r.output, (dir_ / "ro").string())) << r.output;
  EXPECT_TRUE(Has(r.output, "Read-only file system")) << r.output;
  EXPECT_FALSE(fs::exists(image));
}

TEST_F(CliMessages, ADestinationThatCannotBeWrittenIsNotAskedToBeFormatted) {
  const fs::path source = MakeVolume("source.img");
  const fs::path image = dir_ / "source.vmg";
  ASSERT_EQ(RunCli({"backup", source.string(), image.string(), "--yes", "--quiet"}).status, 0);
  const fs::path file = dir_ / "ro-destination.img";
  MakeSparseFile(file, 16 * kMiB);
  const CommandResult attached = test::Run({"losetup", "--find", "--show", "--read-only", file.string()});
  if (attached.status != 0) GTEST_SKIP() << "no read-only loop device: " << attached.output;
  const std::string device = attached.output.substr(0, attached.output.find('\n'));
  const CommandResult r = RunCli({"restore", image.string(), device, "--yes", "--quiet"});
  test::Run({"losetup", "-d", device});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(Lines(r.output), 1u) << r.output;
  EXPECT_TRUE(Has(r.output, device)) << r.output;
  EXPECT_FALSE(Has(r.output, "Please format this partition.")) << r.output;
}

TEST_F(CliMessages, AFolderAsImageToRestoreIsNamedAsAFolder) {
  const fs::path destination = dir_ / "destination.img";
  MakeSparseFile(destination, 16 * kMiB);
  const CommandResult r =
      RunCli({"restore", dir_.Path().string(), destination.string(), "--yes", "--quiet"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(Lines(r.output), 1u) << r.output;
  EXPECT_TRUE(Has(r.output, dir_.Path().string())) << r.output;
  EXPECT_FALSE(Has(r.output, "Block device required")) << r.output;
}

TEST(CliUsage, AUsageErrorIsOneLineNamingTheArgument) {
  const struct {
    std::vector<std::string> args;
    std::string named;
  } cases[] = {
      {{"backup", "--bogus", "a", "b"}, "'--bogus'"},
      {{"restore", "a", "b", "--bogus"}, "'--bogus'"},
      {{"copy", "a"}, "copy: "},
      {{"info", "--bogus"}, "'--bogus'"},
      {{"info", "a", "b"}, "'b'"},
      {{"ptable"}, "DISK"},
      {{"inspect", "--bogus"}, "'--bogus'"},
      {{"list", "extra"}, "'extra'"},
      {{"frobnicate"}, "'frobnicate'"},
      {{"info", "--log"}, "--log needs a FILE"},
      {{}, "no command"},
  };
  for (const auto& c : cases) {
    const CommandResult r = RunCli(c.args);
    SCOPED_TRACE(r.output);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(Lines(r.output), 1u);
    EXPECT_TRUE(Has(r.output, c.named));
    EXPECT_TRUE(Has(r.output, "--help"));
  }
}

TEST(CliLog, TheLogGoesWhereTheOptionOrTheEnvironmentSays) {
  TempDir dir;
  const fs::path missing = dir / "missing.img";
  const fs::path byOption = dir / "option.log";
  CommandResult r = RunCli({"info", missing.string(), "--log", byOption.string()});
  EXPECT_EQ(r.status, 1) << r.output;
  ASSERT_TRUE(fs::exists(byOption));
  EXPECT_GT(fs::file_size(byOption), 0u) << "the failed open is logged";

  const fs::path byEnvironment = dir / "environment.log";
  r = Shell("STOWLINE_LOG=" + Quote(byEnvironment.string()) + " " + Quote(STOWLINE_CLI_PATH) +
            " info " + Quote(missing.string()));
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_GT(fs::file_size(byEnvironment), 0u);

  // The option wins over the environment.
  const fs::path both = dir / "both.log";
  r = Shell("STOWLINE_LOG=" + Quote(byEnvironment.string()) + " " + Quote(STOWLINE_CLI_PATH) +
            " info --log=" + Quote(both.string()) + " " + Quote(missing.string()));
  EXPECT_GT(fs::file_size(both), 0u);

  // A log that cannot be written is a warning; the command still does its work.
  r = RunCli({"list", "--log", (dir / "no-such-folder" / "x.log").string()});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "warning: the log " + (dir / "no-such-folder" / "x.log").string() +
                                " cannot be written (No such file or directory)"))
      << r.output;

  // Every command's help says where the log goes; the task commands list the exit statuses.
  r = RunCli({"backup", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.output, "/var/log/stowline/Larkspur.log")) << r.output;
  EXPECT_TRUE(Has(r.output, "STOWLINE_LOG")) << r.output;
  EXPECT_TRUE(Has(r.output, "  22   The image file cannot be created.")) << r.output;
  EXPECT_TRUE(Has(r.output, "  101  restore, copy: the disk check failed")) << r.output;
  EXPECT_TRUE(Has(r.output, "  34   The source volume's file system is inconsistent")) << r.output;
  EXPECT_TRUE(Has(r.output, "  35   The source volume is mounted read-write")) << r.output;
  r = RunCli({"ptable", "--help"});
  EXPECT_TRUE(Has(r.output, "--log FILE")) << r.output;
}

}  // namespace
}  // namespace stow::test
