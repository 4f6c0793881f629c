// stowline-cli under misuse, from end to end on loop devices and files: an
// image path that would write the source, a FIFO or a device as an image, a
// failed or stopped backup over a good image, two tasks on one volume, and the
// checks that must refuse before a destination is formatted. Each case checks
// by hash that what must not change did not change.
#include <fstream>
#include <sstream>

#include "engine/disk/Disk.h"
#include "engine/image/ImageFormat.h"
#include "engine/image/ImageSurvey.h"
#include "tests/testlib/DiskFixtures.h"
#include "tests/testlib/NtfsFixtures.h"
#include "tests/testlib/TestUtil.h"
#include "tests/testlib/TreeCompare.h"

namespace stow::test {
namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kBigVolumeBytes = 384 * kMiB;
constexpr int kBigDataMiB = 200;
constexpr uint64_t kInterruptAfterBytes = 32 * kMiB;

std::string Hash(const fs::path& file) {
  const CommandResult r = Run({"sha256sum", file.string()});
  return r.status == 0 ? r.output.substr(0, 64) : "unreadable: " + r.output;
}

// Files a backup left beside its target.
std::vector<std::string> PartialFiles(const fs::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().ends_with(".partial")) {
      found.push_back(entry.path().string());
    }
  }
  return found;
}

std::string Cli() { return Quote(STOWLINE_CLI_PATH); }

// Shell text that waits until /proc/locks lists a flock of `kind` ("READ",
// "WRITE") on the inode of `path`, or the process $pid has ended ("finished").
std::string WaitForLock(const std::string& path, const std::string& kind) {
  return "ino=$(stat -L -c %i " + Quote(path) + "); while ! grep -Eq 'FLOCK +ADVISORY +" + kind +
         " +[0-9]+ +[0-9a-f]+:[0-9a-f]+:'$ino' ' /proc/locks; do " +
         "if ! kill -0 $pid 2>/dev/null; then echo finished; break; fi; sleep 0.005; done; ";
}

bool Contains(const CommandResult& r, const std::string& text) {
  return r.output.find(text) != std::string::npos;
}

// Byte offsets where the image's blocks end, read from its block records, and
// the file record of each block.
std::vector<uint64_t> BlockEnds(const fs::path& image, std::vector<uint64_t>* records = nullptr) {
  std::ifstream in(image, std::ios::binary);
  std::vector<uint64_t> ends;
  uint64_t position = engine::kImageHeaderSize;
  const uint64_t size = fs::file_size(image);
  while (position + engine::kBlockRecordSize <= size) {
    engine::BlockRecordBytes bytes{};
    in.seekg(static_cast<std::streamoff>(position));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    const engine::BlockRecord record = engine::BlockRecord::Decode(bytes);
    position += engine::kBlockRecordSize + (record.CarriesData() ? record.runLength : 0);
    ends.push_back(position);
    if (records != nullptr) records->push_back(record.recordNumber);
  }
  return ends;
}

class MisuseCli : public ::testing::Test {
 protected:
  void SetUp() override {
    STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfs-3g", "sha256sum", "sfdisk",
                                           "mkfs.vfat", "timeout", "mkfifo"}),
                 true, true);
    STOW_REQUIRE_NTFS_FIXTURES();
  }

  // A copy of a fixture volume in the test's folder.
  fs::path Volume(const std::string& fixture, const std::string& name) {
    const NtfsFixture* f = GetNtfsFixture(fixture);
    EXPECT_NE(f, nullptr) << fixture;
    const fs::path file = dir_ / name;
    EXPECT_TRUE(f != nullptr && CopyNtfsFixture(*f, file));
    return file;
  }

  // A volume with enough data that its tasks run for a while.
  fs::path BigVolume(const std::string& name) {
    const fs::path file = dir_ / name;
    MakeSparseFile(file, kBigVolumeBytes);
    EXPECT_EQ(test::Run({"mkntfs", "-q", "-F", "-f", file.string()}).status, 0);
    NtfsMount mount(file.string(), false);
    EXPECT_TRUE(mount.Ok()) << mount.Error();
    EXPECT_EQ(Shell("head -c " + std::to_string(kBigDataMiB * kMiB) + " /dev/urandom > " +
                    Quote((mount.Path() / "big.bin").string()) + " && echo small > " +
                    Quote((mount.Path() / "small.txt").string()))
                  .status,
              0);
    return file;
  }

  static void Backup(const std::string& volume, const fs::path& image) {
    const CommandResult r = RunCli({"backup", volume, image.string(), "--yes", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.output;
  }

  // A volume whose $MFT cannot be read: file record 0 loses its signature.
  fs::path UnreadableMftVolume(const std::string& name) {
    const fs::path file = Volume("streams", name);
    std::fstream io(file, std::ios::in | std::ios::out | std::ios::binary);
    unsigned char boot[512];
    io.read(reinterpret_cast<char*>(boot), sizeof boot);
    const uint64_t bytesPerCluster = (boot[11] | (boot[12] << 8)) * uint64_t{boot[13]};
    uint64_t mftCluster = 0;
    for (int i = 7; i >= 0; --i) mftCluster = (mftCluster << 8) | boot[0x30 + i];
    io.seekp(static_cast<std::streamoff>(mftCluster * bytesPerCluster));
    io.write("BAAD", 4);
    return file;
  }

  TempDir dir_;
};

TEST_F(MisuseCli, BackupRefusesEveryImagePathThatWouldWriteItsSource) {
  const fs::path volume = Volume("streams", "volume.img");
  const std::string before = Hash(volume);
  auto expectRefused = [&](const std::string& source, const std::string& image,
                           const std::string& why) {
    SCOPED_TRACE(source + " -> " + image);
    const CommandResult r = RunCli({"backup", source, image, "--yes", "--quiet"});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(Contains(r, "would be written onto the source volume")) << r.output;
    EXPECT_TRUE(Contains(r, why)) << r.output;
    EXPECT_EQ(Hash(volume), before);
  };
  // The source itself, under its own name and another.
  expectRefused(volume.string(), volume.string(), "is the volume " + volume.string() + " itself");
  fs::create_hard_link(volume, dir_ / "hard-link.img");
  expectRefused(volume.string(), (dir_ / "hard-link.img").string(), "itself");
  {
    // The file behind the loop device being backed up, and the device under another name.
    LoopDevice loop(volume, false);
    ASSERT_TRUE(loop.Ok());
    expectRefused(loop.Device(), volume.string(), "is the file behind the loop device");
    fs::create_symlink(loop.Device(), dir_ / "device-link");
    expectRefused(loop.Device(), (dir_ / "device-link").string(), "is stored on");
    // A folder on the source's own (read-only) mounted file system.
    NtfsMount mount(loop.Device(), true);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    expectRefused(loop.Device(), (mount.Path() / "image.vmg").string(), "mounted at");
    expectRefused(volume.string(), mount.Path().string(), "mounted at");
  }
  // A partition of a loop disk: its disk's file is the source's storage.
  DiskFixtureOptions options;
  const DiskFixture disk = MakeMbrLogicalDisk(dir_.Path(), options);
  ASSERT_TRUE(disk.Ok()) << disk.error;
  const std::string diskBefore = Hash(disk.image);
  {
    LoopDevice loop(disk.image);
    ASSERT_TRUE(loop.Ok());
    const CommandResult r =
        RunCli({"backup", loop.Partition(5), disk.image.string(), "--yes", "--quiet"});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(Contains(r, "is the file behind the loop device")) << r.output;
  }
  EXPECT_EQ(Hash(disk.image), diskBefore);
  EXPECT_TRUE(PartialFiles(dir_.Path()).empty());
}

TEST_F(MisuseCli, RestoreRefusesAnImageBehindItsDestination) {
  const fs::path volume = Volume("streams", "volume.img");
  const fs::path image = dir_ / "streams.vmg";
  ASSERT_NO_FATAL_FAILURE(Backup(volume.string(), image));
  const std::string before = Hash(image);
  // The image attached as a loop device: formatting the device destroys the
  // image. (losetup warns that the image is no whole number of sectors.)
  const CommandResult attached = Shell("losetup --find --show " + Quote(image.string()) + " 2>/dev/null");
  ASSERT_EQ(attached.status, 0);
  const std::string device = attached.output.substr(0, attached.output.find('\n'));
  struct Detach {
    std::string device;
    ~Detach() { test::Run({"losetup", "-d", device}); }
  } detach{device};
  const CommandResult r = RunCli({"restore", image.string(), device, "--yes", "--quiet"});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Contains(r, "cannot be the partition where the backup file is saved")) << r.output;
  EXPECT_TRUE(Contains(r, "is the file behind the loop device")) << r.output;
  EXPECT_EQ(Hash(image), before);
}

TEST_F(MisuseCli, FifosAndDevicesAreRefusedAtOnceAndShortNamesAccepted) {
  const fs::path volume = Volume("streams", "volume.img");
  const fs::path destination = Volume("empty", "destination.img");
  const std::string before = Hash(destination);
  ASSERT_EQ(test::Run({"mkfifo", (dir_ / "fifo").string()}).status, 0);
  // Each would wait for ever on an open of the FIFO; `timeout` ends a hang with 124.
  const std::string timed = "timeout 30 " + Cli();
  CommandResult r = Shell(timed + " backup " + Quote(volume.string()) + " " +
                          Quote((dir_ / "fifo").string()) + " --yes --quiet");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Contains(r, "exists and is a FIFO, not a regular file")) << r.output;
  r = Shell(timed + " backup " + Quote(volume.string()) + " /dev/null --yes --quiet");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Contains(r, "exists and is a character device")) << r.output;
  r = Shell(timed + " restore " + Quote((dir_ / "fifo").string()) + " " +
            Quote(destination.string()) + " --yes --quiet");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Contains(r, "is a FIFO, not a backup file")) << r.output;
  r = Shell(timed + " restore /dev/zero " + Quote(destination.string()) + " --yes --quiet");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Contains(r, "The image /dev/zero is a character device, not a backup file"))
      << r.output;
  EXPECT_EQ(Hash(destination), before);

  // "a.i" is a name like any other, for the backup and for the restore.
  const std::string in = "cd " + Quote(dir_.Path().string()) + " && " + Cli();
  r = Shell(in + " backup volume.img a.i --yes --quiet");
  ASSERT_EQ(r.status, 0) << r.output;
  r = Shell(in + " restore a.i destination.img --yes --quiet --no-repair");
  ASSERT_EQ(r.status, 0) << r.output;
  const auto differences = CompareNtfsVolumes(volume.string(), destination.string());
  EXPECT_TRUE(differences.empty()) << DifferencesText(differences);
}

TEST_F(MisuseCli, AFailedOrStoppedBackupLeavesTheOldImageAsItWas) {
  const fs::path image = dir_ / "keep.vmg";
  ASSERT_NO_FATAL_FAILURE(Backup(Volume("streams", "streams.img").string(), image));
  const std::string good = Hash(image);

  // A backup that fails in the engine: the source's $MFT cannot be read.
  const fs::path broken = UnreadableMftVolume("broken.img");
  CommandResult r = RunCli({"backup", broken.string(), image.string(), "--yes", "--quiet"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.status, 1) << "refused before the engine ran: " << r.output;
  EXPECT_EQ(Hash(image), good);
  EXPECT_TRUE(PartialFiles(dir_.Path()).empty());

  // A backup stopped with Ctrl-C once it has written part of the new image.
  const fs::path big = BigVolume("big.img");
  const fs::path out = dir_ / "out.txt";
  const std::string partial = Quote(dir_.Path().string()) + "/.keep.vmg.*.partial";
  const std::string script =
      Cli() + " backup " + Quote(big.string()) + " " + Quote(image.string()) + " --yes > " +
      Quote(out.string()) + " 2>&1 & pid=$!; " +
      "while [ \"$(stat -c %s " + partial + " 2>/dev/null || echo 0)\" -lt " +
      std::to_string(kInterruptAfterBytes) + " ]; do " +
      "if ! kill -0 $pid 2>/dev/null; then wait $pid; echo finished:$?; exit 0; fi; " +
      "sleep 0.01; done; kill -INT $pid; wait $pid; echo status:$?";
  r = Shell(script);
  if (Contains(r, "finished:")) GTEST_SKIP() << "the backup ended before the stop: " << r.output;
  EXPECT_TRUE(Contains(r, "status:25")) << r.output;
  EXPECT_EQ(Hash(image), good);
  EXPECT_TRUE(PartialFiles(dir_.Path()).empty());

  // A backup that completes replaces the old image with exactly the image a
  // backup into a new file gives.
  Backup(big.string(), image);
  const fs::path fresh = dir_ / "fresh.vmg";
  Backup(big.string(), fresh);
  EXPECT_NE(Hash(image), good);
  EXPECT_EQ(Hash(image), Hash(fresh));
  EXPECT_TRUE(PartialFiles(dir_.Path()).empty());
}

TEST_F(MisuseCli, ASecondTaskOnAVolumeInUseIsRefusedAndChangesNothing) {
  const fs::path big = BigVolume("big.img");
  const fs::path image = dir_ / "big.vmg";
  ASSERT_NO_FATAL_FAILURE(Backup(big.string(), image));
  const fs::path destinationFile = dir_ / "destination.img";
  MakeSparseFile(destinationFile, kBigVolumeBytes);
  LoopDevice destination(destinationFile, false);
  ASSERT_TRUE(destination.Ok());
  const fs::path first = dir_ / "first.txt";
  const fs::path second = dir_ / "second.txt";
  // The second restore starts once the first holds its lock (the kernel's
  // lock list shows it; probing with a lock of our own could race the first)
  // and must be refused at once.
  const std::string script =
      Cli() + " restore " + Quote(image.string()) + " " + destination.Device() + " --yes --quiet > " +
      Quote(first.string()) + " 2>&1 & pid=$!; " + WaitForLock(destination.Device(), "WRITE") +
      Cli() + " restore " + Quote(image.string()) + " " + destination.Device() +
      " --yes --quiet > " + Quote(second.string()) + " 2>&1; echo second:$?; " +
      // A backup of the volume being restored is refused as well.
      Cli() + " backup " + destination.Device() + " " + Quote((dir_ / "during.vmg").string()) +
      " --yes --quiet >> " + Quote(second.string()) + " 2>&1; echo backup:$?; " +
      // So is a restore onto the file behind the device: the same volume by another name.
      Cli() + " restore " + Quote(image.string()) + " " + Quote(destinationFile.string()) +
      " --yes --quiet >> " + Quote(second.string()) + " 2>&1; echo file:$?; " +
      "wait $pid; echo first:$?";
  const CommandResult r = Shell(script);
  if (Contains(r, "finished")) GTEST_SKIP() << "the first restore ended too soon: " << r.output;
  std::ifstream text(second);
  const std::string refused((std::istreambuf_iterator<char>(text)), {});
  EXPECT_TRUE(Contains(r, "second:1")) << r.output << refused;
  EXPECT_NE(refused.find("restore: The volume " + destination.Device() +
                         " is in use by another task of this program"),
            std::string::npos)
      << refused;
  EXPECT_TRUE(Contains(r, "backup:1")) << r.output << refused;
  EXPECT_NE(refused.find("is being written by another task of this program"), std::string::npos)
      << refused;
  EXPECT_TRUE(Contains(r, "file:1")) << r.output << refused;
  EXPECT_NE(refused.find("restore: The volume " + destinationFile.string() +
                         " is in use by another task of this program"),
            std::string::npos)
      << refused;
  EXPECT_FALSE(fs::exists(dir_ / "during.vmg"));
  EXPECT_TRUE(Contains(r, "first:0")) << r.output;
  const auto differences = CompareNtfsVolumes(big.string(), destination.Device());
  EXPECT_TRUE(differences.empty()) << DifferencesText(differences);

  // While a backup reads a volume, a restore onto it is refused; the backup completes.
  const fs::path during = dir_ / "during.vmg";
  const std::string backupScript =
      Cli() + " backup " + Quote(big.string()) + " " + Quote(during.string()) +
      " --yes --quiet > " + Quote(first.string()) + " 2>&1 & pid=$!; " +
      WaitForLock(big.string(), "READ") + Cli() + " restore " + Quote(image.string()) + " " +
      Quote(big.string()) + " --yes --quiet 2>&1; echo restore:$?; wait $pid; echo backup:$?";
  const std::string bigBefore = Hash(big);
  const CommandResult b = Shell(backupScript);
  if (Contains(b, "finished")) GTEST_SKIP() << "the backup ended too soon: " << b.output;
  EXPECT_TRUE(Contains(b, "restore:1")) << b.output;
  EXPECT_TRUE(Contains(b, "is in use by another task of this program")) << b.output;
  EXPECT_TRUE(Contains(b, "backup:0")) << b.output;
  EXPECT_EQ(Hash(big), bigBefore);
  EXPECT_EQ(Hash(during), Hash(image));
}

TEST_F(MisuseCli, ChecksThatNeedNoWritingRefuseBeforeTheFormat) {
  const fs::path destination = Volume("many-files", "destination.img");
  const std::string before = Hash(destination);
  const fs::path source = Volume("streams", "source.img");
  const fs::path image = dir_ / "source.vmg";
  ASSERT_NO_FATAL_FAILURE(Backup(source.string(), image));
  auto restore = [&](const fs::path& from) {
    return RunCli({"restore", from.string(), destination.string(), "--yes", "--quiet"});
  };

  // An image cut to 80 bytes: the header and one block record without its data.
  const fs::path cut80 = dir_ / "cut80.vmg";
  fs::copy_file(image, cut80);
  fs::resize_file(cut80, 80);
  CommandResult r = restore(cut80);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Contains(r, "is damaged or incomplete: offset 40")) << r.output;
  EXPECT_EQ(Hash(destination), before);

  // Cut at each block boundary but the last: every record stands whole, but
  // the files of the later records would have no data. The first of them is
  // named, by the restore and by inspect.
  std::vector<uint64_t> records;
  const std::vector<uint64_t> ends = BlockEnds(image, &records);
  ASSERT_GT(ends.size(), 2u);
  ASSERT_EQ(ends.back(), fs::file_size(image));
  for (const size_t i : {size_t{0}, ends.size() / 2, ends.size() - 2}) {
    const uint64_t end = ends[i];
    const std::string missing = "file record " + std::to_string(records[i + 1]);
    SCOPED_TRACE(end);
    const fs::path cut = dir_ / "cut.vmg";
    fs::copy_file(image, cut, fs::copy_options::overwrite_existing);
    fs::resize_file(cut, end);
    r = restore(cut);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(Contains(r, "the image was cut short. The destination was not changed."))
        << r.output;
    const bool inside = records[i + 1] == records[i];  // the cut splits a record's blocks
    EXPECT_TRUE(Contains(r, missing + (inside ? " is incomplete from" : " is the first missing record")))
        << r.output;
    EXPECT_EQ(Hash(destination), before);
    // inspect sees the same.
    const CommandResult inspected = RunCli({"inspect", cut.string()});
    EXPECT_EQ(inspected.status, 1);
    EXPECT_TRUE(Contains(inspected, "Structure:        INCOMPLETE")) << inspected.output;
    EXPECT_TRUE(Contains(inspected, "First missing:    " + missing)) << inspected.output;
    EXPECT_TRUE(Contains(inspected, "is incomplete: offset " + std::to_string(end)))
        << inspected.output;
  }

  // A copy from a source whose $MFT cannot be read.
  r = RunCli({"copy", UnreadableMftVolume("broken.img").string(), destination.string(), "--yes",
              "--quiet"});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Contains(r, "The source's file table ($MFT) cannot be read")) << r.output;
  EXPECT_EQ(Hash(destination), before);

  // A destination too small for the source's files, and for the image.
  const fs::path big = BigVolume("big.img");
  r = RunCli({"copy", big.string(), destination.string(), "--yes", "--quiet"});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Contains(r, "is too small: the source's files need")) << r.output;
  EXPECT_EQ(Hash(destination), before);
  const fs::path bigImage = dir_ / "big.vmg";
  ASSERT_NO_FATAL_FAILURE(Backup(big.string(), bigImage));
  r = restore(bigImage);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Contains(r, "Disk space is not enough.")) << r.output;
  EXPECT_EQ(Hash(destination), before);
}

// A cut between two blocks of the last file: every record before it is whole,
// and the last file misses its last runs.
TEST_F(MisuseCli, AnImageCutInsideItsLastFileIsRefusedBeforeTheFormat) {
  const NtfsFixture* fixture = GetNtfsFixture("fragmented");
  ASSERT_NE(fixture, nullptr);
  const fs::path image = dir_ / "fragmented.vmg";
  ASSERT_NO_FATAL_FAILURE(Backup(fixture->image.string(), image));
  std::vector<uint64_t> records;
  const std::vector<uint64_t> ends = BlockEnds(image, &records);
  ASSERT_GT(ends.size(), 2u);
  // The fixture's last file is written into holes: its runs are the last blocks.
  ASSERT_EQ(records[records.size() - 1], records[records.size() - 2]);
  const fs::path destination = Volume("many-files", "destination.img");
  const std::string before = Hash(destination);
  fs::resize_file(image, ends[ends.size() - 2]);
  const CommandResult r =
      RunCli({"restore", image.string(), destination.string(), "--yes", "--quiet"});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(Contains(r, "but its $MFT gives that record data up to run")) << r.output;
  EXPECT_EQ(Hash(destination), before);
}

// The backup's free-space check asks for what the image will take: sparse runs
// take a block record and no data, every run takes its record.
TEST_F(MisuseCli, TheFreeSpaceCheckCountsWhatTheImageTakes) {
  for (const char* name : {"sparse", "compressed", "fragmented", "many-files"}) {
    SCOPED_TRACE(name);
    const NtfsFixture* fixture = GetNtfsFixture(name);
    ASSERT_NE(fixture, nullptr);
    const fs::path image = dir_ / (std::string(name) + ".vmg");
    ASSERT_NO_FATAL_FAILURE(Backup(fixture->image.string(), image));
    engine::CDisk disk;
    ASSERT_EQ(disk.InitDisk(platform::VolumeId(fixture->image.string()), true),
              engine::DiskResult::kOk);
    uint64_t sectors = 0;
    ASSERT_GT(disk.Mft().BuildEntryList(sectors, true, 0), 0u);
    EXPECT_EQ(engine::ImageBytesForEntries(disk.Mft().Entries(), disk.Device().ClusterSize()),
              fs::file_size(image));
    // The sum of the runs counts sparse runs at their full size.
    if (std::string(name) == "sparse") {
      EXPECT_GT(sectors * 512, fs::file_size(image));
    }
  }
}

}  // namespace
}  // namespace stow::test
