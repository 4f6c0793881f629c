// The copy and restore rules on files: each refusal comes in its place in the
// order, with its exact text, and a request that breaks several rules meets
// the first of them. Volumes are regular files; the rules that need a mount
// or a loop device are in RestoreCopyIntegrationTest.
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "engine/image/ImageChecksums.h"
#include "engine/image/ImageFormat.h"
#include "engine/transfer/TaskThreads.h"
#include "tasks/CopyTask.h"
#include "tasks/RestoreTask.h"
#include "tests/tasks/TaskTestSupport.h"

namespace stow::tasks {
namespace {

using engine::TaskState;
using engine::TaskThreads;
using test::fs::path;

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

constexpr uint64_t kGiB = 1ull << 30;

// An image file: a header with `clusterSize`, grown (sparse) to `bytes`.
path MakeImage(const test::TempDir& dir, const std::string& name, uint32_t clusterSize,
               uint64_t bytes = 4096) {
  const path file = dir / name;
  engine::ImageHeader header;
  header.clusterSize = clusterSize;
  const engine::ImageHeaderBytes encoded = header.Encode();
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(encoded.data()),
              static_cast<std::streamsize>(encoded.size()));
  }
  test::fs::resize_file(file, bytes);
  return file;
}

path MakeVolumeFile(const test::TempDir& dir, const std::string& name, uint64_t bytes) {
  const path file = dir / name;
  test::MakeSparseFile(file, bytes);
  return file;
}

// A task state whose workers run until they are stopped.
struct BusyEngine {
  BusyEngine() : state(Threads()) {
    EXPECT_EQ(state.StartRestore("busy.vmg", platform::VolumeId("busy.img")), engine::kStartOk);
  }
  ~BusyEngine() {
    state.StopTask();
    state.WaitForWorkers();
  }
  static TaskThreads Threads() {
    TaskThreads t;
    auto idle = [](TaskState& s) {
      while (!s.stopFlag.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    t.readFromFile = idle;
    t.writePartition = idle;
    t.readPartition = idle;
    return t;
  }
  TaskState state;
};

class RestoreRules : public ::testing::Test {
 protected:
  Refusal Check(const std::string& image, const std::string& destination) {
    RestorePlan plan;
    return CheckRestore(idle_, image, destination, plan);
  }
  test::TempDir dir_;
  TaskState idle_;
};

TEST_F(RestoreRules, EachRuleInItsOrderWithItsText) {
  const path image = MakeImage(dir_, "image.vmg", 4096, 10 * kGiB);
  const path notImage = MakeVolumeFile(dir_, "not-an-image.vmg", 4096);
  const path fits = MakeVolumeFile(dir_, "fits.img", 11 * kGiB);
  const path tooSmall = MakeVolumeFile(dir_, "small.img", 11 * kGiB - 1);
  {
    BusyEngine busy;
    RestorePlan plan;
    EXPECT_EQ(CheckRestore(busy.state, "x", "", plan).text, "The current task is running.");
  }
  // Found by its kind, never opened: an open would wait for a writer.
  const path fifo = dir_ / "fifo.vmg";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string image;
    std::string destination;
    const char* id;
    std::string text;
  };
  // Each case also breaks every rule after the one it is about.
  const Case cases[] = {
      {"", "", "selectBackupPath", "Incorrect file path."},
      {fifo.string(), "", "imageNotAFile",
       "The image " + fifo.string() + " is a FIFO, not a backup file. Please choose an image file."},
      {"/dev/zero", "", "imageNotAFile",
       "The image /dev/zero is a character device, not a backup file. Please choose an image "
       "file."},
      {dir_.Path().string(), "", "imageNotAFile",
       "The image " + dir_.Path().string() +
           " is a folder, not a backup file. Please choose an image file."},
      {notImage.string(), "", "backupFileError",
       "Error: The backup file can't be read. " + notImage.string() +
           ": it cannot be opened, or it does not start with an image header."},
      {(dir_ / "missing.vmg").string(), "", "backupFileError",
       "Error: The backup file can't be read. " + (dir_ / "missing.vmg").string() +
           ": No such file or directory."},
      {image.string(), "", "choosedestance", "Please select a destination volume."},
      {image.string(), (dir_ / "missing.img").string(), "destinationUnopenable",
       "The destination volume cannot be opened. " + (dir_ / "missing.img").string() +
           ": No such file or directory."},
      {image.string(), dir_.Path().string(), "destinationUnopenable",
       "The destination volume cannot be opened. " + dir_.Path().string() +
           ": a folder; name a partition (such as /dev/sdb1) or a volume file."},
      {image.string(), image.string(), "backupFileInSelectPath",
       "Notice: The destination partition cannot be the partition where the backup file is "
       "saved. (" +
           image.string() + " is the volume " + image.string() + " itself)"},
      {image.string(), tooSmall.string(), "diskSpaceNotEnough", "Disk space is not enough."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image + " -> " + c.destination);
    const Refusal r = Check(c.image, c.destination);
    EXPECT_EQ(r.id, c.id);
    EXPECT_EQ(r.text, c.text);
  }
  // 10 GiB × 1.1 is exactly 11 GiB: not more than the volume holds.
  RestorePlan plan;
  EXPECT_FALSE(CheckRestore(idle_, image.string(), fits.string(), plan).Refused());
  EXPECT_EQ(plan.header.clusterSize, 4096u);
  EXPECT_EQ(plan.imageBytes, 10 * kGiB);
  EXPECT_EQ(plan.destination.totalBytes, 11 * kGiB);
  // A short name is a name like any other.
  test::fs::create_symlink(image, "a.i");
  EXPECT_FALSE(CheckRestore(idle_, "a.i", fits.string(), plan).Refused());
  test::fs::remove("a.i");
}

TEST_F(RestoreRules, AHeaderWithoutAUsableClusterSizeIsNoImage) {
  const path destination = MakeVolumeFile(dir_, "dest.img", kGiB);
  for (const uint32_t size : {0u, 256u, 3000u, 4u << 20, 0x80001000u}) {
    SCOPED_TRACE(size);
    const path image = MakeImage(dir_, "image.vmg", size);
    EXPECT_EQ(Check(image.string(), destination.string()).id, "backupFileError");
  }
  for (const uint32_t size : {512u, 4096u, 65536u, 2u << 20}) {
    SCOPED_TRACE(size);
    const path image = MakeImage(dir_, "image.vmg", size);
    EXPECT_FALSE(Check(image.string(), destination.string()).Refused());
  }
}

TEST(RestoreSpace, IsTheImageSizeAndATenthWithoutOverflow) {
  EXPECT_EQ(RestoreSpaceNeeded(0), 0u);
  EXPECT_EQ(RestoreSpaceNeeded(10), 11u);
  EXPECT_EQ(RestoreSpaceNeeded(19), 20u);  // 19 × 11 ÷ 10 = 20.9
  EXPECT_EQ(RestoreSpaceNeeded(10 * kGiB), 11 * kGiB);
  // Beyond the range where size × 11 would still fit in 64 bits.
  EXPECT_EQ(RestoreSpaceNeeded(10000000000000000000ull), 11000000000000000000ull);
  EXPECT_EQ(RestoreSpaceNeeded(UINT64_MAX), UINT64_MAX);
}

TEST_F(RestoreRules, TheQuestionNamesTheDestinationTwice) {
  const path image = MakeImage(dir_, "image.vmg", 4096);
  const path destination = MakeVolumeFile(dir_, "dest.img", kGiB);
  RestorePlan plan;
  ASSERT_FALSE(CheckRestore(idle_, image.string(), destination.string(), plan).Refused());
  EXPECT_EQ(ConfirmRestoreText(plan), "Are you sure to restore the file to " +
                                          destination.string() + "?\nNotice! This operation " +
                                          "will format " + destination.string() + " partition.");
}

class CopyRules : public ::testing::Test {
 protected:
  Refusal Check(const std::string& source, const std::string& destination) {
    CopyPlan plan;
    return CheckCopy(idle_, source, destination, plan);
  }
  test::TempDir dir_;
  TaskState idle_;
};

TEST_F(CopyRules, EachRuleInItsOrderWithItsText) {
  const path notNtfs = MakeVolumeFile(dir_, "zeros.img", 16 << 20);
  const path destination = MakeVolumeFile(dir_, "dest.img", 16 << 20);
  const path link = dir_ / "dest-link.img";
  test::fs::create_symlink(destination, link);
  {
    BusyEngine busy;
    CopyPlan plan;
    EXPECT_EQ(CheckCopy(busy.state, "", "", plan).text, "The current task is running.");
  }
  struct Case {
    std::string source;
    std::string destination;
    const char* id;
    std::string text;
  };
  const std::string missing = (dir_ / "missing.img").string();
  const Case cases[] = {
      {"", "", "choosesource", "Please select a source volume."},
      {missing, "", "choosedestance", "Please select a destination volume."},
      {missing, missing, "destEqualSour",
       "The destination volume must be different from the source volume. "},
      {missing, destination.string(), "sourceUnopenable", "The source volume cannot be opened."},
      {notNtfs.string(), missing, "destinationUnopenable",
       "The destination volume cannot be opened. " + missing + ": No such file or directory."},
      // The same file under another name.
      {link.string(), destination.string(), "destEqualSour",
       "The destination volume must be different from the source volume. "},
      {notNtfs.string(), destination.string(), "sourceNotNtfs",
       "The source volume cannot be copied: not an NTFS volume (the boot sector has no \"NTFS\" "
       "id)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source + " -> " + c.destination);
    const Refusal r = Check(c.source, c.destination);
    EXPECT_EQ(r.id, c.id);
    EXPECT_EQ(r.text, c.text);
  }
}

// Writes `image`'s checksum file as the backup would for a header with
// `clusterSize` followed by `dataBytes` zero bytes of one run of record 0.
void WriteChecksums(const path& image, uint32_t clusterSize, uint64_t dataBytes) {
  engine::ImageHeader header;
  header.clusterSize = clusterSize;
  engine::ChecksumBuilder b;
  b.Header(header.Encode());
  engine::BlockRecord record;
  record.runLength = dataBytes;
  record.dataLength = dataBytes;
  record.sequence = 1;
  b.Record(engine::kImageHeaderSize, record.Encode(), dataBytes, true);
  const std::vector<std::byte> zeros(dataBytes);
  b.Data(engine::kImageHeaderSize + engine::kBlockRecordSize, zeros);
  const std::vector<std::byte> bytes = b.Finish().Encode();
  std::ofstream(engine::ChecksumPathFor(image.string()), std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

TEST(RestoreChecksumRules, TheChecksumFileMustBelongToTheImageOrBeAbsent) {
  test::TempDir dir;
  RestorePlan plan;
  plan.imagePath = MakeImage(dir, "image.vmg", 4096).string();
  plan.imageBytes = 4096;
  // None: the restore goes on unchecked and says so before the question.
  EXPECT_FALSE(CheckRestoreChecksums(plan).Refused());
  EXPECT_FALSE(plan.checksums);
  EXPECT_NE(NoChecksumNotice(plan).find("has no checksum file"), std::string::npos);
  // Its own: checked, no notice.
  WriteChecksums(plan.imagePath, 4096, 4096 - 80);
  EXPECT_FALSE(CheckRestoreChecksums(plan).Refused());
  EXPECT_TRUE(plan.checksums);
  EXPECT_TRUE(NoChecksumNotice(plan).empty());
  // Another image's: another size, or another header.
  WriteChecksums(plan.imagePath, 4096, 8192);
  Refusal size = CheckRestoreChecksums(plan);
  EXPECT_EQ(size.id, "checksumFileUnusable");
  EXPECT_NE(size.text.find("belongs to another image"), std::string::npos) << size.text;
  WriteChecksums(plan.imagePath, 8192, 4096 - 80);
  Refusal header = CheckRestoreChecksums(plan);
  EXPECT_EQ(header.id, "checksumFileUnusable");
  EXPECT_NE(header.text.find("image header"), std::string::npos) << header.text;
  // Damaged.
  test::fs::resize_file(engine::ChecksumPathFor(plan.imagePath), 100);
  Refusal damaged = CheckRestoreChecksums(plan);
  EXPECT_EQ(damaged.id, "checksumFileUnusable");
  EXPECT_NE(damaged.text.find("The destination was not changed"), std::string::npos)
      << damaged.text;
  EXPECT_FALSE(plan.checksums);
}

}  // namespace
}  // namespace stow::tasks
