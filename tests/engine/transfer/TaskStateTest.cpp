// Starting, refusing, stopping and finishing tasks, with stand-in worker bodies
// that the tests hold and release (also run under ThreadSanitizer).
#include "engine/transfer/TaskState.h"
#include "engine/transfer/TaskThreads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <span>

#include "engine/core/DiskResult.h"
#include "engine/core/TaskError.h"
#include "support/Enums.h"
#include "tests/testlib/TaskErrorPrint.h"

namespace stow::engine {
namespace {

using platform::VolumeId;

// A latch the test opens to let a worker body go on.
class Gate {
 public:
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return open_; });
  }
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Bodies that behave like well-mannered workers: the reader ends at once (or
// at the stop flag), the writer ends after the reader and reports success.
struct Bodies {
  std::atomic<int> readers{0};
  std::atomic<int> writers{0};
  std::atomic<uint64_t> seenLimit{~0ull};
  ImageHeader seenHeader;
  std::string seenPath;
  Gate* readerGate = nullptr;

  TaskThreads Threads() {
    TaskThreads t;
    auto reader = [this](TaskState& s) {
      readers.fetch_add(1);
      seenLimit.store(s.freeSpaceLimit.load());
      if (readerGate) readerGate->Wait();
      if (s.stopFlag.load()) s.SetFirstError(TaskError::kManualStop);
    };
    auto writer = [this](TaskState& s) {
      writers.fetch_add(1);
      while (s.ReaderRunning()) s.Ring().WaitForSignal(std::chrono::milliseconds(200));
      s.SetFirstError(TaskError::kSuccess);
    };
    t.readPartition = reader;
    t.readFromFile = reader;
    t.writePartition = writer;
    t.backupWrite = [this, writer](TaskState& s, ImageHeader h) {
      seenHeader = h;
      seenPath = s.Description()->imagePath;
      writer(s);
    };
    return t;
  }
};

const VolumeId kSource("/dev/source");
const VolumeId kDestination("/dev/destination");

TEST(TaskState, StartWhileATaskRunsReturnsOneAndChangesNothing) {
  Gate gate;
  Bodies bodies;
  bodies.readerGate = &gate;
  TaskState state(bodies.Threads());
  ASSERT_EQ(state.StartCopy(kSource, kDestination), kStartOk);
  state.bytesDone.store(1234);

  EXPECT_EQ(state.StartCopy(kDestination, kSource), kStartTaskRunning);
  EXPECT_EQ(state.StartBackup(kDestination, "x.vmg", ImageHeader{}, 1 << 20), kStartTaskRunning);
  EXPECT_EQ(state.StartRestore("x.vmg", kSource), kStartTaskRunning);
  EXPECT_EQ(state.Description()->source, kSource);
  EXPECT_EQ(state.Description()->destination, kDestination);
  EXPECT_EQ(state.Kind(), TaskKind::kCopy);
  EXPECT_EQ(state.bytesDone.load(), 1234u);
  EXPECT_EQ(state.freeSpaceLimit.load(), 0u);
  EXPECT_FALSE(state.stopFlag.load());
  EXPECT_EQ(state.ErrorCode(), TaskError::kRunning);

  gate.Open();
  state.WaitForWorkers();
  EXPECT_EQ(state.ErrorCode(), TaskError::kSuccess);
  EXPECT_EQ(bodies.readers.load(), 1);
  EXPECT_EQ(bodies.writers.load(), 1);
}

TEST(TaskState, StartAfterAFinishedTaskSucceedsAndCopyClearsTheFreeSpaceLimit) {
  Bodies bodies;
  TaskState state(bodies.Threads());
  ImageHeader header;
  header.letter = 'D';
  header.clusterSize = 4096;
  ASSERT_EQ(state.StartBackup(kSource, "backup.vmg", header, 10 * 512 + 100), kStartOk);
  state.WaitForWorkers();
  EXPECT_EQ(bodies.seenLimit.load(), 10u) << "free bytes become whole 512-byte sectors";
  EXPECT_EQ(bodies.seenHeader, header);
  EXPECT_EQ(bodies.seenPath, "backup.vmg") << "the writer sees the image path from its start";
  // A backup writes no volume, and only a backup writes a checksum file.
  EXPECT_EQ(state.Description()->destination, VolumeId());
  EXPECT_TRUE(state.Description()->checksums);
  EXPECT_EQ(state.ErrorCode(), TaskError::kSuccess);
  EXPECT_FALSE(state.AnyWorkerRunning());

  // The finished task left its ring's signal open: the next start closes it and goes on.
  ASSERT_EQ(state.StartCopy(kSource, kDestination), kStartOk);
  state.WaitForWorkers();
  EXPECT_EQ(bodies.seenLimit.load(), 0u) << "a backup's limit must not refuse a copy";
  EXPECT_EQ(state.Description()->imagePath, "");

  ASSERT_EQ(state.StartRestore("image.vmg", kDestination), kStartOk);
  state.WaitForWorkers();
  // A restore reads no volume.
  EXPECT_EQ(state.Description()->source, VolumeId());
  EXPECT_EQ(state.Description()->destination, kDestination);
  EXPECT_EQ(state.Description()->imagePath, "image.vmg");
  EXPECT_EQ(bodies.readers.load(), 3);
  EXPECT_EQ(bodies.writers.load(), 3);
}

TEST(TaskState, ProgressAndTheStopFlag) {
  Gate gate;
  Bodies bodies;
  bodies.readerGate = &gate;
  TaskState state(bodies.Threads());
  ASSERT_EQ(state.StartCopy(kSource, kDestination), kStartOk);
  state.totalSectors.store(100);
  state.bytesDone.store(1000);
  state.filesDone.store(3);
  TaskProgress p = state.QueryProgress();
  EXPECT_EQ(p.totalBytes, 51200u);
  EXPECT_EQ(p.copiedBytes, 1000u);
  EXPECT_EQ(p.filesDone, 3u);
  EXPECT_EQ(p.errorCode, TaskError::kRunning);

  state.StopTask();
  gate.Open();
  state.WaitForWorkers();
  p = state.QueryProgress();
  EXPECT_EQ(p.errorCode, TaskError::kManualStop)
      << "the first error stays; the writer's 255 is refused";
  EXPECT_EQ(p.copiedBytes, 1000u);

  // After success the copied bytes equal the total, whatever bytes done says.
  ASSERT_EQ(state.StartCopy(kSource, kDestination), kStartOk);
  state.WaitForWorkers();
  state.totalSectors.store(100);
  state.bytesDone.store(1000);
  p = state.QueryProgress();
  EXPECT_EQ(p.errorCode, TaskError::kSuccess);
  EXPECT_EQ(p.copiedBytes, p.totalBytes);
  EXPECT_FALSE(state.stopFlag.load()) << "a start clears the stop flag";
}

TEST(TaskState, StartRefusesWhileAnEndingWorkerHoldsTheRing) {
  // The reader closes the ring's signal (as when it finds no writer) but has
  // not returned yet: a start must refuse without resetting the ring under it.
  Gate gate;
  TaskThreads t;
  t.readPartition = [&gate](TaskState& s) {
    for (int i = 0; i < 3; ++i) {
      s.Ring().ProducerSlot();
      s.Ring().Commit();
    }
    s.Ring().CloseSignal();
    gate.Wait();
  };
  t.writePartition = [](TaskState&) {};
  TaskState state(t);
  ASSERT_EQ(state.StartCopy(kSource, kDestination), kStartOk);
  while (state.WriterRunning() || state.Ring().SignalOpen()) std::this_thread::yield();

  EXPECT_EQ(state.StartCopy(kSource, kDestination), kStartReaderStillSet);
  EXPECT_EQ(state.Ring().Count(), 3) << "the ring was left alone";
  gate.Open();
  state.WaitForWorkers();
  EXPECT_EQ(state.StartCopy(kSource, kDestination), kStartOk);
}

TEST(TaskState, WriterWaitingForItsFirstSlotWakesWhenTheReaderEnds) {
  TaskThreads t;
  t.readFromFile = [](TaskState& s) { s.SetFirstError(TaskError::kImageOpenFailed); };
  t.writePartition = [](TaskState& s) {
    // The untimed first wait: it must end once the reader is gone.
    while (!s.Ring().WaitForSignal(std::nullopt) && s.ReaderRunning()) {
    }
    EXPECT_FALSE(s.ReaderRunning());
    EXPECT_EQ(s.Ring().ConsumerSlot(), -1);
  };
  TaskState state(t);
  ASSERT_EQ(state.StartRestore("missing.vmg", kDestination), kStartOk);
  state.WaitForWorkers();
  EXPECT_EQ(state.ErrorCode(), TaskError::kImageOpenFailed);
}

TEST(TaskState, ThreadCreationFailuresTearTheRingDown) {
  Bodies bodies;
  TaskThreads t = bodies.Threads();
  t.failSpawn = 1;
  TaskState readerFails(t);
  EXPECT_EQ(readerFails.StartCopy(kSource, kDestination), kStartReaderFailed);
  EXPECT_FALSE(readerFails.Ring().HasBuffers());
  EXPECT_FALSE(readerFails.AnyWorkerRunning());

  t.failSpawn = 2;
  TaskState writerFails(t);
  EXPECT_EQ(writerFails.StartCopy(kSource, kDestination), kStartWriterFailed);
  EXPECT_FALSE(writerFails.Ring().HasBuffers());
  EXPECT_FALSE(writerFails.AnyWorkerRunning()) << "the started reader was stopped and joined";
  EXPECT_TRUE(writerFails.stopFlag.load());
  EXPECT_EQ(bodies.writers.load(), 0);
}

TEST(TaskState, ErrorCodeToTextMapsTheCodeRanges) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {0, "Not found Error!"},
      {1, "Running Error!"},
      {4, "Running Error!"},
      {21, "Running Error!"},
      // Codes whose cause is known say what happened and what to do.
      {12, "The volume is in use by another program and cannot be locked. Close or unmount what "
           "uses it, then try again."},
      {16, "The volume cannot be opened."},
      {22, "The image file cannot be created. Choose a folder that you can write to, on a file "
           "system that is not read-only."},
      {23, "The image file cannot be opened. Check its path and that it is a backup image file."},
      {28, "Writing failed. Make room on the target, or choose another one, and try again."},
      {24, "The disk space is not enough."},
      {26, "The disk space is not enough."},
      {25, " The operation is stopped."},
      {255, "The copy is completed."},
  };
  for (const auto& c : cases) {
    std::string text = "before";
    ErrorCodeToText(static_cast<TaskError>(c.code), text);
    EXPECT_EQ(text, c.text) << "code " << c.code;
  }
  for (int untouched : {-1, 27, 254, 256}) {
    std::string text = "caller's text";
    ErrorCodeToText(static_cast<TaskError>(untouched), text);
    EXPECT_EQ(text, "caller's text") << "code " << untouched;
  }
}

TEST(TaskState, NumbersReadBackAsTheErrorsTheyNameAndUnknownOnesAsAFailure) {
  // Every error a task can end with, and running and success, survive the way
  // out as a number and back.
  for (const TaskError error : TaskErrorCodes()) {
    EXPECT_EQ(TaskErrorFromCode(TaskErrorCode(error)), error) << "code " << TaskErrorCode(error);
  }
  EXPECT_EQ(TaskErrorFromCode(0), TaskError::kRunning);
  EXPECT_EQ(TaskErrorFromCode(255), TaskError::kSuccess);
  EXPECT_EQ(TaskErrorCode(TaskError::kSuccess), 255);
  EXPECT_EQ(TaskErrorCode(TaskError::kImageDamaged), 29);
  // A disk operation's own number travels as it is, with the generic text.
  for (int code = 1; code <= 23; ++code) {
    EXPECT_EQ(TaskErrorCode(TaskErrorFromCode(code)), code);
  }
  std::string text;
  ErrorCodeToText(TaskErrorFromCode(17), text);
  EXPECT_EQ(text, "Running Error!");
  // A disk operation's result ends a task with its own number as well.
  EXPECT_EQ(TaskErrorOf(DiskResult::kOk), TaskError::kNone);
  for (const DiskResult result :
       {DiskResult::kNoDevice, DiskResult::kReadFailed, DiskResult::kShortRead,
        DiskResult::kEbrShortRead, DiskResult::kNoSuchEntry, DiskResult::kSeekFailed,
        DiskResult::kLockFailedForTable, DiskResult::kNoPartitionTable, DiskResult::kLockNoDevice,
        DiskResult::kLockRefused, DiskResult::kUpdateFailed, DiskResult::kWriteFailed,
        DiskResult::kOpenFailed, DiskResult::kIsGpt, DiskResult::kAllocationFailed,
        DiskResult::kNoGptSignature, DiskResult::kBadTable, DiskResult::kUnsupportedVolume}) {
    EXPECT_EQ(TaskErrorOf(result), TaskErrorFromCode(ToInt(result))) << "code " << ToInt(result);
  }
  // Any other number is a failure of unknown cause: never "running", which
  // would let a later error or success overwrite it, and never "success".
  for (const int code : {-1, -255, 27, 37, 100, 253, 254, 256, 511, INT_MIN, INT_MAX}) {
    EXPECT_EQ(TaskErrorFromCode(code), TaskError::kUnknown) << "code " << code;
  }
  EXPECT_EQ(std::find(TaskErrorCodes().begin(), TaskErrorCodes().end(), TaskError::kUnknown),
            TaskErrorCodes().end())
      << "nothing ends a task with it: --help does not list it";
}

TEST(TaskState, NoErrorIsNeverTakenForTheFirstError) {
  // A step's "no error" passed on by mistake must not occupy the first error.
  Bodies bodies;
  TaskState fresh(bodies.Threads());
  EXPECT_FALSE(fresh.SetFirstError(TaskError::kNone, "nothing failed"));
  EXPECT_EQ(fresh.ErrorCode(), TaskError::kRunning);
  EXPECT_TRUE(fresh.SetFirstError(TaskError::kWriteFailed, "the write failed"));
  EXPECT_FALSE(fresh.SetFirstError(TaskError::kSuccess));
  EXPECT_EQ(fresh.ErrorCode(), TaskError::kWriteFailed);
  EXPECT_EQ(fresh.ErrorDetail(), "the write failed");
}

TEST(TaskState, TheListedFailureCodesAreAscendingAndEachHasItsMessage) {
  const std::span<const TaskError> codes = TaskErrorCodes();
  ASSERT_FALSE(codes.empty());
  for (size_t i = 1; i < codes.size(); ++i) {
    EXPECT_LT(TaskErrorCode(codes[i - 1]), TaskErrorCode(codes[i]));
  }
  for (const TaskError code : codes) {
    EXPECT_NE(code, TaskError::kRunning);
    EXPECT_NE(code, TaskError::kSuccess);
    std::string text;
    ErrorCodeToText(code, text);
    EXPECT_FALSE(text.empty()) << "code " << TaskErrorCode(code);
  }
  // The source checks' codes are listed with their own texts.
  for (const TaskError error : {TaskError::kSourceInconsistent, TaskError::kSourceMountedWritable,
                                TaskError::kVerifyFailed}) {
    EXPECT_NE(std::find(codes.begin(), codes.end(), error), codes.end())
        << "code " << TaskErrorCode(error);
  }
  std::string text;
  ErrorCodeToText(TaskError::kSourceInconsistent, text);
  EXPECT_EQ(text.rfind("The source volume's file system is inconsistent", 0), 0u) << text;
  ErrorCodeToText(TaskError::kSourceMountedWritable, text);
  EXPECT_EQ(text.rfind("The source volume is mounted read-write", 0), 0u) << text;
}

TEST(TaskState, TheProcessStateRunsTheBuiltInWorkers) {
  TaskState& state = ProcessTaskState();
  EXPECT_EQ(&state, &ProcessTaskState());
  ASSERT_EQ(state.StartCopy(kSource, kDestination), kStartOk);
  state.WaitForWorkers();
  EXPECT_NE(state.ErrorCode(), TaskError::kRunning);
  EXPECT_NE(state.ErrorCode(), TaskError::kSuccess)
      << "an unfinished transfer never reports success";
}

}  // namespace
}  // namespace stow::engine
