// The backup's reader and writer threads on an in-memory NTFS volume: the
// stream order and data, a 10 MiB run, a sparse run, the free-space refusal,
// stops, a start while they run, and failing source reads, image writes and
// image creation, each ending in order with the image deleted. Also run under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/core/TaskError.h"
#include "engine/disk/Disk.h"
#include "engine/image/ImageChecksums.h"
#include "engine/image/ImageSurvey.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/transfer/TaskState.h"
#include "engine/transfer/TaskThreads.h"
#include "engine/transfer/Workers.h"
#include "platform/Files.h"
#include "platform/MemoryBlockDevice.h"
#include "tests/engine/BackupTestSupport.h"
#include "tests/testlib/TaskErrorPrint.h"
#include "tests/testlib/TestUtil.h"

namespace stow::engine {
namespace {

using namespace std::chrono_literals;
using testing::ExpectedRun;
using testing::Gate;
using testing::ImageFile;
using testing::ScriptedDevice;
using testing::SourceVolume;
using testing::TheSourceVolume;
namespace fs = std::filesystem;

constexpr uint64_t kMiB = 1024 * 1024;
const platform::VolumeId kSource("memory-source");

ImageHeader TestHeader() {
  ImageHeader h;
  h.letter = 'D';
  h.windows = 1;
  h.clusterSize = SourceVolume::kClusterSize;
  return h;
}

// One backup of the in-memory source into a file of a temporary folder, with
// the faults a test asks for.
class Backup {
 public:
  Backup() : image_((dir_ / "backup.vmg").string()), state_(Threads()) {}

  // Source faults, set before Start().
  uint64_t failReadFrom = 0;
  uint64_t failReadTo = 0;
  Gate* holdRead = nullptr;
  uint64_t holdFrom = 0;
  uint64_t holdTo = 0;
  bool stopOnOpen = false;
  std::vector<std::byte> sourceBytes = TheSourceVolume().bytes;
  // Image faults.
  int imageWritesBeforeFailure = -1;
  // The checksum file cannot be created with this error.
  int sumsCreateError = 0;
  int createError = 0;
  // The checksum file goes beside the image.
  bool checksums = true;

  StartResult Start(uint64_t freeBytes = 0) {
    return state_.StartBackup(kSource, image_, TestHeader(), freeBytes, checksums);
  }
  TaskError Run(uint64_t freeBytes = 0) {
    const StartResult started = Start(freeBytes);
    if (started != kStartOk) {
      ADD_FAILURE() << "the backup did not start: start result " << ToInt(started);
      return TaskError::kUnknown;
    }
    state_.WaitForWorkers();
    return state_.ErrorCode();
  }
  TaskState& State() { return state_; }
  const std::string& ImagePath() const { return image_; }
  bool ImageExists() const { return fs::exists(image_); }
  int removals = 0;

 private:
  WorkerIo Io() {
    WorkerIo io = WorkerIo::Default();
    io.openVolume = [this](const platform::VolumeId&, bool, CDisk& disk) {
      auto device = std::make_unique<ScriptedDevice>(
          std::make_unique<platform::MemoryBlockDevice>(sourceBytes));
      device->failFrom = failReadFrom;
      device->failTo = failReadTo;
      device->holdReads = holdRead;
      device->holdFrom = holdFrom;
      device->holdTo = holdTo;
      disk.Attach(std::move(device), true);
      if (stopOnOpen) state_.StopTask();
      return TaskError::kNone;
    };
    io.createImage = [this](const std::string& path, std::unique_ptr<platform::BlockDevice>& out) {
      if (createError != 0) return createError;
      if (sumsCreateError != 0 && path.find(".sums") != std::string::npos) return sumsCreateError;
      std::unique_ptr<platform::BlockDevice> file;
      const int created = platform::CreateRegularFile(path, file);
      if (created != 0) return created;
      auto scripted = std::make_unique<ScriptedDevice>(std::move(file));
      scripted->writesBeforeFailure = imageWritesBeforeFailure;
      out = std::move(scripted);
      return 0;
    };
    io.removeImage = [this](const std::string& path) {
      ++removals;
      return platform::RemoveFile(path);
    };
    io.imageRetry = {2, 1ms};
    return io;
  }

  TaskThreads Threads() {
    TaskThreads t = TaskThreads::Default();
    t.readPartition = [this](TaskState& s) { RunPartitionReader(s, Io()); };
    t.backupWrite = [this](TaskState& s, ImageHeader h) { RunImageWriter(s, h, Io()); };
    return t;
  }

  test::TempDir dir_;
  std::string image_;
  TaskState state_;
};

uint64_t ClusterOffset(int64_t lcn) {
  return static_cast<uint64_t>(lcn) * SourceVolume::kClusterSize;
}

// Every task, however it ended, leaves no worker, no ring buffers and no signal.
void ExpectOrderlyEnd(TaskState& state) {
  EXPECT_FALSE(state.ReaderRunning());
  EXPECT_FALSE(state.WriterRunning());
  EXPECT_FALSE(state.Ring().HasBuffers());
  EXPECT_FALSE(state.Ring().SignalOpen());
}

TEST(BackupThreads, TheImageHoldsEveryRunOnceInStreamOrderWithItsData) {
  Backup backup;
  ASSERT_EQ(backup.Run(), TaskError::kSuccess);
  ExpectOrderlyEnd(backup.State());
  const ImageFile image = testing::ReadImageFile(backup.ImagePath());
  ASSERT_TRUE(image.wellFormed);
  const ImageHeaderBytes header = TestHeader().Encode();
  EXPECT_EQ(image.header, std::vector<std::byte>(header.begin(), header.end()));

  const SourceVolume& source = TheSourceVolume();
  ASSERT_EQ(image.blocks.size(), source.expected.size());
  uint64_t dataBytes = 0;
  uint64_t sparseBytes = 0;
  for (size_t i = 0; i < image.blocks.size(); ++i) {
    const testing::ImageBlock& block = image.blocks[i];
    const ExpectedRun& run = source.expected[i];
    SCOPED_TRACE("block " + std::to_string(i));
    EXPECT_EQ(block.sequence, i + 1);
    EXPECT_EQ(block.recordNumber, run.record);
    EXPECT_EQ(block.instance, run.instance);
    EXPECT_EQ(block.runIndex, run.runIndex);
    EXPECT_EQ(block.runLength, run.clusters * SourceVolume::kClusterSize);
    if (run.lcn < 0) {
      EXPECT_EQ(block.dataLength, 0u);
      sparseBytes += block.runLength;
      continue;
    }
    // A run is one block: its first chunk's length, then all its bytes.
    EXPECT_EQ(block.dataLength, std::min<uint64_t>(block.runLength, kSlotBytes));
    const auto from = source.bytes.begin() + static_cast<std::ptrdiff_t>(ClusterOffset(run.lcn));
    const auto at = image.bytes.begin() + static_cast<std::ptrdiff_t>(block.dataOffset);
    EXPECT_TRUE(std::equal(from, from + static_cast<std::ptrdiff_t>(block.runLength), at));
    dataBytes += block.runLength;
  }
  // The first block opens with file record 0.
  EXPECT_EQ(LoadLe32(&image.bytes[image.blocks[0].dataOffset]), 0x454C4946u);
  // Sparse runs count their length into the bytes done.
  EXPECT_EQ(backup.State().bytesDone.load(), dataBytes + sparseBytes);
  EXPECT_EQ(backup.State().filesDone.load(), 3u);  // records 0, 20 and 22
  EXPECT_EQ(backup.State().recordCount.load(), 64u);
  const TaskProgress progress = backup.State().QueryProgress();
  EXPECT_EQ(progress.copiedBytes, progress.totalBytes);
}

TEST(BackupThreads, ATenMiBRunIsOneRecordWithItsDataInFourMiBSlots) {
  // The reader alone, with a writer that notes each slot it drains.
  struct Seen {
    uint64_t record, runOffset, runLength;
    uint32_t dataLength;
    uint16_t runIndex;
  };
  std::vector<Seen> seen;
  TaskThreads threads = TaskThreads::Default();
  const SourceVolume& source = TheSourceVolume();
  WorkerIo io = WorkerIo::Default();
  io.openVolume = [&source](const platform::VolumeId&, bool, CDisk& disk) {
    disk.Attach(std::make_unique<platform::MemoryBlockDevice>(source.bytes), true);
    return TaskError::kNone;
  };
  threads.readPartition = [io](TaskState& s) { RunPartitionReader(s, io); };
  threads.backupWrite = [&seen](TaskState& s, ImageHeader) {
    for (;;) {
      s.Ring().WaitForSignal(200ms);
      const bool readerEnded = !s.ReaderRunning();
      const int i = s.Ring().ConsumerSlot();
      if (i < 0) {
        if (readerEnded) break;
        continue;
      }
      const TransferSlot& slot = s.Ring().Slot(i);
      seen.push_back(
          {slot.recordNumber, slot.runOffset, slot.runLength, slot.dataLength, slot.runIndex});
      s.Ring().Release();
    }
    s.SetFirstError(TaskError::kSuccess);
  };
  TaskState state(threads);
  ASSERT_EQ(state.StartBackup(kSource, "unused", TestHeader(), 0), kStartOk);
  state.WaitForWorkers();
  ASSERT_EQ(state.ErrorCode(), TaskError::kSuccess);

  std::vector<Seen> big;
  for (const Seen& s : seen) {
    if (s.record == 20 && s.runIndex == 0) big.push_back(s);
  }
  ASSERT_EQ(big.size(), 3u);
  EXPECT_EQ(big[0].runOffset, 0u);
  EXPECT_EQ(big[1].runOffset, 8192u);
  EXPECT_EQ(big[2].runOffset, 16384u);
  EXPECT_EQ(big[0].dataLength, 4 * kMiB);
  EXPECT_EQ(big[1].dataLength, 4 * kMiB);
  EXPECT_EQ(big[2].dataLength, 2 * kMiB);
  for (const Seen& s : big) EXPECT_EQ(s.runLength, 10 * kMiB);
  // The sparse run: exactly one slot, without data.
  size_t sparse = 0;
  for (const Seen& s : seen) {
    if (s.record == 20 && s.runIndex == 1) {
      ++sparse;
      EXPECT_EQ(s.dataLength, 0u);
      EXPECT_EQ(s.runLength, 16u * SourceVolume::kClusterSize);
    }
  }
  EXPECT_EQ(sparse, 1u);
  // The $MFT's first slot comes first: record 0 at run offset 0.
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].record, 0u);
  EXPECT_EQ(seen[0].runOffset, 0u);
}

TEST(BackupThreads, TooLittleFreeSpaceEndsTheBackupBeforeAnyDataMoves) {
  Backup probe;
  ASSERT_EQ(probe.Run(), TaskError::kSuccess);
  const uint64_t written = fs::file_size(probe.ImagePath());

  // The reader counts the image exactly: the header, a block record per run
  // (the sparse one too) and the data of the runs that are not sparse.
  CDisk disk;
  disk.Attach(std::make_unique<platform::MemoryBlockDevice>(TheSourceVolume().bytes), true);
  uint64_t total = 0;
  ASSERT_GT(disk.Mft().BuildEntryList(total, true, 0), 0u);
  EXPECT_EQ(ImageSizeOfEntries(disk.Mft().Entries(), disk.Device().ClusterSize(),
                               disk.Device().Device()->Size() / disk.Device().ClusterSize()),
            written);

  // Free space (counted in whole sectors) one sector short of the image is not
  // enough; the image's size rounded up to a sector is.
  const uint64_t roundedUp = (written + 511) / 512 * 512;
  Backup tight;
  EXPECT_EQ(tight.Run(roundedUp - 512), TaskError::kSpaceNotEnough);
  EXPECT_NE(tight.State().ErrorDetail().find(std::to_string(written) + " bytes"), std::string::npos)
      << tight.State().ErrorDetail();
  EXPECT_EQ(tight.State().bytesDone.load(), 0u);
  EXPECT_FALSE(tight.ImageExists()) << "a refused backup leaves no image behind";
  ExpectOrderlyEnd(tight.State());
  std::string text;
  ErrorCodeToText(TaskError::kSpaceNotEnough, text);
  EXPECT_EQ(text, "The disk space is not enough.");

  Backup enough;
  EXPECT_EQ(enough.Run(roundedUp), TaskError::kSuccess);
  EXPECT_TRUE(enough.ImageExists());
}

// The engine alone never writes an image a restore would refuse: a record in
// use torn between its blocks ends the backup before anything is sent.
TEST(BackupThreads, ADamagedSourceRecordEndsTheBackupBeforeAnyDataMoves) {
  Backup backup;
  {
    CDisk disk;
    disk.Attach(std::make_unique<platform::MemoryBlockDevice>(backup.sourceBytes), true);
    ASSERT_TRUE(disk.Mft().LoadMftRecord());
    std::vector<ntfs::VolumeExtent> at;
    ntfs::MapStreamRange(disk.Mft().MftRuns(), disk.Device().ClusterSize(),
                         22 * kFileRecordSize + 1022, 1, at);
    ASSERT_EQ(at.size(), 1u);
    backup.sourceBytes[at[0].volumeOffset] = ~backup.sourceBytes[at[0].volumeOffset];
  }
  EXPECT_EQ(backup.Run(), TaskError::kSourceInconsistent);
  EXPECT_NE(backup.State().ErrorDetail().find("MFT record 22 was not written whole"),
            std::string::npos)
      << backup.State().ErrorDetail();
  EXPECT_EQ(backup.State().bytesDone.load(), 0u);
  EXPECT_FALSE(backup.ImageExists());
  ExpectOrderlyEnd(backup.State());
}

TEST(BackupThreads, AStopBeforeTheFirstSlotEndsTheBackupAsStopped) {
  Backup backup;
  backup.stopOnOpen = true;
  EXPECT_EQ(backup.Run(), TaskError::kManualStop);
  EXPECT_EQ(backup.State().bytesDone.load(), 0u);
  EXPECT_FALSE(backup.ImageExists());
  ExpectOrderlyEnd(backup.State());
}

TEST(BackupThreads, AStopDuringARunEndsAsStoppedAndDeletesTheImage) {
  Backup backup;
  Gate gate;
  backup.holdRead = &gate;
  backup.holdFrom = ClusterOffset(200) + 4 * kMiB;  // the 10 MiB run's second chunk
  backup.holdTo = backup.holdFrom + 1;
  ASSERT_EQ(backup.Start(), kStartOk);
  gate.WaitUntilReached();
  backup.State().StopTask();
  gate.Open();
  backup.State().WaitForWorkers();
  EXPECT_EQ(backup.State().ErrorCode(), TaskError::kManualStop);
  EXPECT_FALSE(backup.ImageExists());
  EXPECT_EQ(backup.removals, 1);
  ExpectOrderlyEnd(backup.State());
}

TEST(BackupThreads, AStartWhileABackupRunsReturnsOneAndChangesNothing) {
  Backup backup;
  Gate gate;
  backup.holdRead = &gate;
  backup.holdFrom = ClusterOffset(200);
  backup.holdTo = backup.holdFrom + 1;
  ASSERT_EQ(backup.Start(), kStartOk);
  gate.WaitUntilReached();
  TaskState& state = backup.State();
  const uint64_t total = state.totalSectors.load();
  EXPECT_EQ(state.StartBackup(platform::VolumeId("other"), backup.ImagePath() + ".second",
                              ImageHeader{}, 1),
            kStartTaskRunning);
  EXPECT_EQ(state.StartCopy(platform::VolumeId("a"), platform::VolumeId("b")), kStartTaskRunning);
  EXPECT_EQ(state.Description()->imagePath, backup.ImagePath());
  EXPECT_EQ(state.Description()->source, kSource);
  EXPECT_EQ(state.freeSpaceLimit.load(), 0u);
  EXPECT_EQ(state.totalSectors.load(), total);
  EXPECT_TRUE(state.ReaderRunning());
  gate.Open();
  state.WaitForWorkers();
  EXPECT_EQ(state.ErrorCode(), TaskError::kSuccess);
  EXPECT_FALSE(fs::exists(backup.ImagePath() + ".second"));
  EXPECT_TRUE(testing::ReadImageFile(backup.ImagePath()).wellFormed);
}

TEST(BackupThreads, AnUnreadableRunEndsWithASourceErrorAndDeletesTheImage) {
  Backup backup;
  backup.failReadFrom = ClusterOffset(200) + 4 * kMiB;
  backup.failReadTo = backup.failReadFrom + 1;
  EXPECT_EQ(backup.Run(), TaskError::kSourceReadFailed);
  EXPECT_FALSE(backup.ImageExists()) << "an image with a run cut short would be out of step";
  ExpectOrderlyEnd(backup.State());
  std::string text;
  ErrorCodeToText(TaskError::kSourceReadFailed, text);
  EXPECT_EQ(text, "The source volume could not be read.");
}

TEST(BackupThreads, AnUnreadablePartOfTheMftEndsWithASourceError) {
  // Record 0 is read on its own; the window with the other records fails.
  Backup backup;
  backup.failReadFrom = ClusterOffset(16) + 20 * 1024;
  backup.failReadTo = backup.failReadFrom + 1;
  EXPECT_EQ(backup.Run(), TaskError::kSourceReadFailed);
  EXPECT_EQ(backup.State().bytesDone.load(), 0u);
  EXPECT_FALSE(backup.ImageExists()) << "files of the unread records would be missing";
  ExpectOrderlyEnd(backup.State());
}

TEST(BackupThreads, ASourceThatIsNotNtfsEndsWithASourceError) {
  Backup backup;
  backup.sourceBytes.assign(1 << 20, std::byte{0});
  EXPECT_EQ(backup.Run(), TaskError::kSourceReadFailed);
  EXPECT_FALSE(backup.ImageExists());
  ExpectOrderlyEnd(backup.State());
}

TEST(BackupThreads, AFailedImageWriteFailsTheBackupStopsTheReaderAndDeletesTheImage) {
  // The header and the first block record are written; the first data chunk fails.
  Backup backup;
  backup.imageWritesBeforeFailure = 2;
  EXPECT_EQ(backup.Run(), TaskError::kWriteFailed);
  EXPECT_TRUE(backup.State().stopFlag.load());
  EXPECT_FALSE(backup.ImageExists());
  ExpectOrderlyEnd(backup.State());

  // A failing header write ends the same way.
  Backup header;
  header.imageWritesBeforeFailure = 0;
  EXPECT_EQ(header.Run(), TaskError::kWriteFailed);
  EXPECT_FALSE(header.ImageExists());
  ExpectOrderlyEnd(header.State());

  // The next backup in the same state starts afresh and succeeds.
  backup.imageWritesBeforeFailure = -1;
  EXPECT_EQ(backup.Run(), TaskError::kSuccess);
  EXPECT_TRUE(testing::ReadImageFile(backup.ImagePath()).wellFormed);
}

TEST(BackupThreads, AnImageThatCannotBeCreatedFailsTheBackupInOrder) {
  Backup backup;
  backup.createError = 13;  // EACCES
  EXPECT_EQ(backup.Run(), TaskError::kImageCreateFailed);
  EXPECT_EQ(backup.State().bytesDone.load(), 0u);
  EXPECT_FALSE(backup.ImageExists());
  ExpectOrderlyEnd(backup.State());
  // Nothing is left running: a new task starts at once.
  backup.createError = 0;
  EXPECT_EQ(backup.Run(), TaskError::kSuccess);
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool ImageVerifies(const std::string& path) {
  std::unique_ptr<platform::BlockDevice> file;
  if (platform::OpenBlockDevice(path, true, file) != 0) return false;
  const ImageVerification v = VerifyImageContents(*file, path);
  EXPECT_TRUE(v.ok) << v.faultText;
  return v.checksumsFound && v.ok;
}

TEST(BackupThreads, TheChecksumFileComesWithTheImageOrTheOldPairStays) {
  Backup backup;
  const std::string sums = ChecksumPathFor(backup.ImagePath());
  const fs::path folder = fs::path(backup.ImagePath()).parent_path();
  std::ofstream(backup.ImagePath()) << "an earlier image";
  std::ofstream(sums) << "its checksum file";

  // Failed backups, at the data and at the checksum file: the earlier pair is
  // untouched and no temporary file is left.
  backup.imageWritesBeforeFailure = 2;
  EXPECT_EQ(backup.Run(), TaskError::kWriteFailed);
  backup.imageWritesBeforeFailure = -1;
  backup.sumsCreateError = 28;  // ENOSPC
  EXPECT_EQ(backup.Run(), TaskError::kWriteFailed);
  EXPECT_NE(backup.State().ErrorDetail().find("checksum file"), std::string::npos)
      << backup.State().ErrorDetail();
  EXPECT_EQ(FileText(backup.ImagePath()), "an earlier image");
  EXPECT_EQ(FileText(sums), "its checksum file");
  EXPECT_EQ(FolderEntries(folder), (std::vector<std::string>{"backup.vmg", "backup.vmg.sums"}));

  // A backup that succeeds replaces both; its checksum file proves the image.
  backup.sumsCreateError = 0;
  ASSERT_EQ(backup.Run(), TaskError::kSuccess);
  EXPECT_TRUE(ImageVerifies(backup.ImagePath()));
  EXPECT_EQ(FolderEntries(folder), (std::vector<std::string>{"backup.vmg", "backup.vmg.sums"}));

  // Without checksums the earlier checksum file goes: it would not belong to the new image.
  backup.checksums = false;
  ASSERT_EQ(backup.Run(), TaskError::kSuccess);
  backup.checksums = true;
  EXPECT_TRUE(testing::ReadImageFile(backup.ImagePath()).wellFormed);
  EXPECT_EQ(FolderEntries(folder), (std::vector<std::string>{"backup.vmg"}));
}

}  // namespace
}  // namespace stow::engine
