// backup --verify on a real volume: the finished image, read back from the
// disk, passes against its checksum file; a byte changed on the disk between
// the backup and the read-back (through the plan's test hook) is found and
// named by its file record and offset.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "engine/image/ImageChecksums.h"
#include "engine/image/ImageFormat.h"
#include "platform/BlockDevice.h"
#include "tasks/BackupTask.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/NtfsFixtures.h"

namespace stow::tasks {
namespace {

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

// Inverts the byte at `offset` of `path` with a write of its own.
void InvertByte(const std::string& path, uint64_t offset) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  unsigned char byte = 0;
  ASSERT_EQ(::pread(fd, &byte, 1, static_cast<off_t>(offset)), 1);
  byte ^= 0xFF;
  ASSERT_EQ(::pwrite(fd, &byte, 1, static_cast<off_t>(offset)), 1);
  ::close(fd);
}

// "file record N at offset O" for the stretch of the image that holds byte `at`.
std::string StretchHolding(const std::string& path, uint64_t at) {
  std::unique_ptr<platform::BlockDevice> file;
  if (platform::OpenBlockDevice(path, true, file) != 0) return "(unreadable)";
  engine::ImageReader reader(*file, false);
  engine::ImageChunk chunk;
  while (reader.Next(chunk, {}) == engine::ImageStatus::kChunk) {
    const uint64_t start = chunk.firstOfBlock ? reader.RecordOffset() : chunk.fileOffset;
    if (at >= start && at < chunk.fileOffset + chunk.dataLength) {
      return "file record " + std::to_string(chunk.recordNumber) + " at offset " +
             std::to_string(start);
    }
  }
  return "(no stretch)";
}

TEST(BackupVerify, TheImageReadBackFromTheDiskMatchesOrTheChangedBlockIsNamed) {
  STOW_REQUIRE_NTFS_FIXTURES();
  std::string error;
  const test::NtfsFixture* fixture = test::GetNtfsFixture("many-files", &error);
  ASSERT_NE(fixture, nullptr) << error;
  test::TempDir dir;
  BackupSource source;
  std::string why;
  ASSERT_EQ(CheckBackupSource(platform::VolumeId(fixture->image.string()), source, why),
            kBackupCheckOk)
      << why;
  BackupPlan plan;
  ASSERT_EQ(PlanBackup(source, (dir / "image.vmg").string(), Today(), plan, why), kBackupCheckOk)
      << why;
  engine::TaskState state;
  ASSERT_EQ(StartBackupTask(state, plan), engine::kStartOk);
  state.WaitForWorkers();
  ASSERT_EQ(state.ErrorCode(), engine::TaskError::kSuccess) << state.ErrorDetail();

  uint64_t calls = 0;
  uint64_t lastDone = 0;
  const BackupVerification sound = VerifyBackupImage(plan, [&](uint64_t done, uint64_t total) {
    ++calls;
    lastDone = done;
    EXPECT_LE(done, total);
    return true;
  });
  EXPECT_TRUE(sound.ok) << sound.text;
  EXPECT_GT(calls, 1u);
  EXPECT_EQ(lastDone, std::filesystem::file_size(plan.imagePath));

  // A byte late in the image, changed on the disk after the backup.
  const uint64_t at = std::filesystem::file_size(plan.imagePath) - 1000;
  const std::string expected = StretchHolding(plan.imagePath, at);
  plan.beforeVerify = [at](const std::string& image) { InvertByte(image, at); };
  const BackupVerification changed = VerifyBackupImage(plan);
  EXPECT_FALSE(changed.ok);
  EXPECT_NE(changed.text.find(expected + " does not match its checksum"), std::string::npos)
      << expected << "\n"
      << changed.text;

  // A stop from the progress callback is no success.
  plan.beforeVerify = {};
  EXPECT_FALSE(VerifyBackupImage(plan, [](uint64_t, uint64_t) { return false; }).ok);
  // Without the checksum file there is nothing to verify against.
  std::filesystem::remove(engine::ChecksumPathFor(plan.imagePath));
  const BackupVerification bare = VerifyBackupImage(plan);
  EXPECT_FALSE(bare.ok);
  EXPECT_NE(bare.text.find("missing"), std::string::npos) << bare.text;
}

}  // namespace
}  // namespace stow::tasks
