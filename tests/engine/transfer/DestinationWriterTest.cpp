// The partition writer's edge cases, driven through TaskState with stand-in
// readers that send chosen slots: a reader that fails or ends before the
// writer has a slot, a first $MFT chunk too short, a destination that runs out
// of clusters, a failed write, a stop in the middle. Every one must end with an
// error code, a stopped reader and an ended writer. Also run under
// ThreadSanitizer (`make tsan`).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "engine/destination/DiskDestination.h"
#include "engine/disk/Disk.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/transfer/RestoreWorkers.h"
#include "engine/transfer/TaskState.h"
#include "engine/transfer/TaskThreads.h"
#include "platform/MemoryBlockDevice.h"
#include "tests/engine/RestoreTestSupport.h"
#include "tests/support/LogTestSupport.h"
#include "tests/testlib/TaskErrorPrint.h"

namespace stow::engine {
namespace {

using namespace std::chrono_literals;
using test::fs::path;

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

constexpr uint32_t kClusterSize = 4096;
constexpr uint64_t kMftCluster = 4;       // where mkntfs puts the $MFT with 4 KiB clusters
constexpr uint32_t kMftBytes = 7 * 4096;  // mkntfs's $MFT: 27 records in 7 clusters

// Two small mkntfs volumes, made once: the destination, and a source whose
// $MFT the stand-in readers send.
struct Volumes {
  std::vector<std::byte> destination;
  std::vector<std::byte> sourceMft;
  std::vector<std::byte> smallClusterMft;  // of a volume with 1 KiB clusters
  uint16_t logFileInstance = 0;            // the instance of record 2's $DATA in the source
  std::string missing;
};

const Volumes& TheVolumes() {
  static const Volumes volumes = [] {
    Volumes v;
    v.missing = test::MissingForIntegration({"mkntfs"});
    if (!v.missing.empty()) return v;
    test::TempDir dir;
    if (!test::MakeNtfsVolume(dir / "d.img", 8, kClusterSize) ||
        !test::MakeNtfsVolume(dir / "s.img", 8, kClusterSize) ||
        !test::MakeNtfsVolume(dir / "k.img", 8, 1024)) {
      v.missing = "mkntfs failed";
      return v;
    }
    v.destination = test::ReadFileBytes(dir / "d.img");
    v.sourceMft = test::ReadFileBytes(dir / "s.img", kMftCluster * kClusterSize, kMftBytes);
    // mkntfs puts the $MFT 16 KiB into the volume whatever the cluster size.
    v.smallClusterMft = test::ReadFileBytes(dir / "k.img", 16 * 1024, kMftBytes);
    std::vector<std::byte> record2(v.sourceMft.begin() + 2048, v.sourceMft.begin() + 3072);
    EXPECT_TRUE(ntfs::ApplyFixup(record2));
    ntfs::AttributeWalker walk(record2);
    for (ntfs::Attribute a; walk.Next(a);) {
      if (a.type == ntfs::kAttrData && a.nameLength == 0) v.logFileInstance = a.instance;
    }
    return v;
  }();
  return volumes;
}

#define STOW_REQUIRE_VOLUMES()                                               \
  do {                                                                       \
    if (!TheVolumes().missing.empty()) GTEST_SKIP() << TheVolumes().missing; \
  } while (0)

// Lends a device to a CDisk, so that the test still sees it after the writer
// has closed its volume.
class BorrowedDevice final : public platform::BlockDevice {
 public:
  BorrowedDevice(std::shared_ptr<platform::MemoryBlockDevice> device,
                 std::shared_ptr<std::atomic<bool>> locked)
      : device_(std::move(device)), locked_(std::move(locked)) {}
  const std::string& Path() const override { return device_->Path(); }
  uint64_t Size() const override { return device_->Size(); }
  uint32_t SectorSize() const override { return device_->SectorSize(); }
  bool IsBlockDevice() const override { return false; }
  bool IsWritable() const override { return device_->IsWritable(); }
  platform::IoResult ReadAt(uint64_t offset, std::span<std::byte> out) override {
    return device_->ReadAt(offset, out);
  }
  platform::IoResult WriteAt(uint64_t offset, std::span<const std::byte> in) override {
    return device_->WriteAt(offset, in);
  }
  int Flush() override { return device_->Flush(); }
  // The lock state is kept where other threads may look at it.
  int Lock() override {
    const int r = device_->Lock();
    if (r == 0) locked_->store(true);
    return r;
  }
  int Unlock() override {
    locked_->store(false);
    return device_->Unlock();
  }
  int UpdateProperties() override { return 0; }

 private:
  std::shared_ptr<platform::MemoryBlockDevice> device_;
  std::shared_ptr<std::atomic<bool>> locked_;
};

// The destination: an in-memory copy of the mkntfs volume.
struct Destination {
  std::shared_ptr<platform::MemoryBlockDevice> device =
      std::make_shared<platform::MemoryBlockDevice>(TheVolumes().destination);
  std::shared_ptr<std::atomic<bool>> locked = std::make_shared<std::atomic<bool>>(false);
  bool openFails = false;

  bool Locked() const { return locked->load(); }

  RestoreIo Io() const {
    RestoreIo io = RestoreIo::Default();
    io.openVolume = [d = device, l = locked, fails = openFails](const platform::VolumeId&, bool,
                                                                CDisk& disk) {
      if (fails) return TaskError::kVolumeOpenFailed;
      disk.Attach(std::make_unique<BorrowedDevice>(d, l), true);
      return TaskError::kNone;
    };
    io.endPoll = 1ms;
    return io;
  }
};

// Sends one slot; false once the task is being stopped.
bool Send(TaskState& state, uint64_t record, uint16_t instance, uint64_t runLength,
          uint64_t runOffset, const std::byte* data, uint32_t length) {
  TransferRing& ring = state.Ring();
  int i = -1;
  while ((i = ring.ProducerSlot()) < 0) {
    if (state.stopFlag.load() || !ring.HasBuffers()) return false;
    std::this_thread::sleep_for(1ms);
  }
  TransferSlot& slot = ring.Slot(i);
  slot.recordNumber = record;
  slot.attributeInstance = instance;
  slot.runIndex = 0;
  slot.runLength = runLength;
  slot.runOffset = runOffset;
  slot.dataLength = length;
  if (length != 0) std::memcpy(slot.buffer.get(), data, length);
  ring.Commit();
  return true;
}

bool SendMft(TaskState& state, uint32_t length = kMftBytes) {
  state.totalSectors.store(1000);
  state.recordCount.store(27);
  return Send(state, 0, 0, kMftBytes, 0, TheVolumes().sourceMft.data(), length);
}

// Sends 4 MiB chunks of one long run of record 2 until the task stops;
// returns whether the stop was seen.
bool SendUntilStopped(TaskState& state) {
  static const std::vector<std::byte> chunk(kSlotBytes, std::byte{0x5A});
  const uint64_t runLength = uint64_t{1} << 40;
  for (uint64_t offset = 0;; offset += kSlotSectors) {
    if (state.stopFlag.load()) return true;
    if (!Send(state, 2, TheVolumes().logFileInstance, runLength, offset, chunk.data(),
              kSlotBytes)) {
      return true;
    }
  }
}

TaskError RunTask(TaskState& state) {
  if (state.StartRestore("stand-in.img", platform::VolumeId("memory")) != kStartOk) {
    ADD_FAILURE() << "the restore did not start";
    return TaskError::kUnknown;
  }
  state.WaitForWorkers();
  return state.ErrorCode();
}

TaskThreads WithReader(const Destination& destination, std::function<void(TaskState&)> reader) {
  TaskThreads threads;
  threads.readFromFile = std::move(reader);
  threads.writePartition = [io = destination.Io()](TaskState& s) { RunPartitionWriter(s, io); };
  return threads;
}

TEST(PartitionWriter, AReaderFailureBeforeTheWriterStartsIsKept) {
  STOW_REQUIRE_VOLUMES();
  Destination destination;
  TaskState state(
      WithReader(destination, [](TaskState& s) { s.SetFirstError(TaskError::kImageOpenFailed); }));
  EXPECT_EQ(RunTask(state), TaskError::kImageOpenFailed);
  EXPECT_FALSE(state.AnyWorkerRunning());
  EXPECT_EQ(destination.device->Data(), TheVolumes().destination);
}

TEST(PartitionWriter, TheFirstSlotWaitEndsWhenTheReaderEndsWithNothing) {
  STOW_REQUIRE_VOLUMES();
  Destination destination;
  platform::MemoryBlockDevice* device = destination.device.get();
  // The reader ends once the writer holds the destination and waits for a slot.
  TaskState state(WithReader(destination, [locked = destination.locked](TaskState&) {
    while (!locked->load()) std::this_thread::sleep_for(1ms);
  }));
  EXPECT_EQ(RunTask(state), TaskError::kImageDamaged);
  EXPECT_FALSE(destination.Locked());
  EXPECT_EQ(device->Data(), TheVolumes().destination);
}

TEST(PartitionWriter, AFirstMftChunkTooShortEndsTheTaskInOrder) {
  STOW_REQUIRE_VOLUMES();
  Destination destination;
  std::atomic<bool> readerStopped{false};
  TaskState state(WithReader(destination, [&](TaskState& s) {
    if (SendMft(s, 0x5000)) readerStopped = SendUntilStopped(s);
  }));
  EXPECT_EQ(RunTask(state), TaskError::kSourceMftUnsupported);
  EXPECT_TRUE(readerStopped.load());
  EXPECT_TRUE(state.stopFlag.load());
  EXPECT_FALSE(state.Ring().HasBuffers());
  EXPECT_FALSE(destination.Locked());
  EXPECT_EQ(destination.device->Data(), TheVolumes().destination);

  // The same task state starts again with fresh buffers (the earlier ones are
  // freed, as the leak check of the sanitizer build sees) and ends the same way.
  EXPECT_EQ(RunTask(state), TaskError::kSourceMftUnsupported);
  EXPECT_FALSE(state.AnyWorkerRunning());
}

TEST(PartitionWriter, ASourceWithOtherClustersIsRefusedBeforeAnythingIsWritten) {
  STOW_REQUIRE_VOLUMES();
  Destination destination;
  TaskState state(WithReader(destination, [](TaskState& s) {
    s.totalSectors.store(1000);
    // Its first run: the 27 records of mkntfs's $MFT in 27 clusters of 1 KiB.
    constexpr uint32_t kRunBytes = 27 * 1024;
    Send(s, 0, 0, kRunBytes, 0, TheVolumes().smallClusterMft.data(), kRunBytes);
  }));
  // The destination was formatted as the image's header says: a $MFT with other
  // clusters means a damaged image, not a destination to format again.
  EXPECT_EQ(RunTask(state), TaskError::kImageDamaged);
  EXPECT_NE(state.ErrorDetail().find("the image's header gives 4096-byte clusters, but the $MFT "
                                     "it carries has 1024-byte clusters"),
            std::string::npos)
      << state.ErrorDetail();
  EXPECT_EQ(destination.device->Data(), TheVolumes().destination);
}

TEST(PartitionWriter, AnMftThatWouldCoverClustersInUseIsRefusedBeforeAnythingIsWritten) {
  STOW_REQUIRE_VOLUMES();
  Destination destination;
  {
    // A cluster just past the destination's $MFT in use by nothing the copy replaces.
    CDisk disk;
    DiskDestination fixUp(disk.Mft(), disk.Device());
    disk.Attach(std::make_unique<BorrowedDevice>(destination.device, destination.locked), true);
    uint64_t total = 0;
    EXPECT_NE(disk.Mft().BuildEntryList(total, false, 24), 0u);
    ASSERT_TRUE(fixUp.LoadBitmap());
    fixUp.MarkClustersUsed(kMftCluster + 7, 1);
    ASSERT_TRUE(fixUp.WriteBitmap());
  }
  const std::vector<std::byte> before = destination.device->Data();
  std::atomic<bool> readerStopped{false};
  TaskState state(WithReader(destination, [&](TaskState& s) {
    // A source with more records than the destination's $MFT has room for.
    std::vector<std::byte> mft(TheVolumes().sourceMft);
    s.totalSectors.store(1000);
    s.recordCount.store(40);
    if (Send(s, 0, 0, mft.size(), 0, mft.data(), static_cast<uint32_t>(mft.size()))) {
      readerStopped = SendUntilStopped(s);
    }
  }));
  EXPECT_EQ(RunTask(state), TaskError::kMftZoneInUse);
  EXPECT_NE(state.ErrorDetail().find("no room for the source's $MFT of 40 records"),
            std::string::npos)
      << state.ErrorDetail();
  EXPECT_TRUE(readerStopped.load());
  EXPECT_EQ(destination.device->Data(), before);
}

TEST(PartitionWriter, RunningOutOfClustersStopsTheReaderWithAnError) {
  STOW_REQUIRE_VOLUMES();
  Destination destination;
  std::atomic<bool> readerStopped{false};
  TaskState state(WithReader(destination, [&](TaskState& s) {
    if (SendMft(s)) readerStopped = SendUntilStopped(s);
  }));
  EXPECT_EQ(RunTask(state), TaskError::kDestinationTooSmall);
  EXPECT_TRUE(readerStopped.load());
  EXPECT_FALSE(destination.Locked());
  EXPECT_GT(state.bytesDone.load(), uint64_t{kMftBytes});
}

TEST(PartitionWriter, ARunListThatOutgrowsItsRecordFailsTheTask) {
  STOW_REQUIRE_VOLUMES();
  Destination destination;
  std::atomic<bool> readerStopped{false};
  // Hundreds of one-cluster runs for one attribute: each becomes a run of its
  // own in the record, which holds about 200 of them.
  TaskState state(WithReader(destination, [&](TaskState& s) {
    static const std::vector<std::byte> cluster(kClusterSize, std::byte{0x11});
    if (!SendMft(s)) return;
    for (int i = 0; i < 600; ++i) {
      if (!Send(s, 2, TheVolumes().logFileInstance, kClusterSize, 0, cluster.data(),
                kClusterSize)) {
        readerStopped = true;
        return;
      }
    }
    readerStopped = SendUntilStopped(s);
  }));
  EXPECT_EQ(RunTask(state), TaskError::kDestinationInconsistent);
  EXPECT_TRUE(readerStopped.load());
  EXPECT_FALSE(destination.Locked());
}

TEST(PartitionWriter, AFailedWriteEndsWithTwentyEight) {
  STOW_REQUIRE_VOLUMES();
  Destination destination;
  platform::MemoryBlockDevice* device = destination.device.get();
  std::atomic<bool> readerStopped{false};
  TaskState state(WithReader(destination, [&](TaskState& s) {
    if (!SendMft(s)) return;
    // Once the $MFT is on the disk every further write fails.
    while (s.Ring().Count() > 0 && !s.stopFlag.load()) std::this_thread::sleep_for(1ms);
    device->FailWrites(1 << 20);
    readerStopped = SendUntilStopped(s);
  }));
  EXPECT_EQ(RunTask(state), TaskError::kWriteFailed);
  EXPECT_TRUE(readerStopped.load());
  EXPECT_FALSE(destination.Locked());
}

TEST(PartitionWriter, AStopInTheMiddleEndsWithTwentyFive) {
  STOW_REQUIRE_VOLUMES();
  Destination destination;
  constexpr uint32_t kChunk = 64 * 1024;
  // The reader sends the $MFT and three chunks of a longer run, then waits.
  TaskState state(WithReader(destination, [](TaskState& s) {
    static const std::vector<std::byte> chunk(kChunk, std::byte{0x33});
    if (!SendMft(s)) return;
    for (uint64_t i = 0; i < 3; ++i) {
      Send(s, 2, TheVolumes().logFileInstance, 16 * kChunk, i * kChunk / 512, chunk.data(), kChunk);
    }
    while (!s.stopFlag.load()) std::this_thread::sleep_for(1ms);
    s.SetFirstError(TaskError::kManualStop);
  }));
  ASSERT_EQ(state.StartRestore("stand-in.img", platform::VolumeId("memory")), kStartOk);
  while (state.bytesDone.load() < kMftBytes + 3 * kChunk && state.AnyWorkerRunning()) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(state.bytesDone.load(), kMftBytes + 3 * kChunk);
  state.StopTask();
  state.WaitForWorkers();
  EXPECT_EQ(state.ErrorCode(), TaskError::kManualStop);
  EXPECT_FALSE(destination.Locked());
}

TEST(PartitionWriter, ADestinationThatCannotBeOpenedStopsTheReader) {
  STOW_REQUIRE_VOLUMES();
  Destination destination;
  destination.openFails = true;
  std::atomic<bool> readerStopped{false};
  TaskState state(WithReader(destination, [&](TaskState& s) {
    if (SendMft(s)) readerStopped = SendUntilStopped(s);
  }));
  EXPECT_EQ(RunTask(state), TaskError::kVolumeOpenFailed);
  EXPECT_TRUE(readerStopped.load());
}

}  // namespace
}  // namespace stow::engine
