// TaskState: everything one engine task (copy, backup or restore) shares
// between its reader thread, its writer thread and the front end that started
// it, with the start, stop and progress operations.
//
// Only one task runs at a time. A start refuses while a worker of the previous
// task is still running; once both have ended it joins them, resets the
// transfer ring (fresh buffers) and starts a new pair. The counters, flags and
// the error code are atomics: each is written by one party at a time and
// polled by the others. The error code keeps the first error: workers set it
// with SetFirstError(), which succeeds only while it is 0.
//
// A worker "clears its handle" by returning: the engine clears the running flag
// after the body has returned, so everything the body stored is visible to
// whoever sees the flag clear.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "engine/core/TaskError.h"
#include "engine/destination/DestinationVerify.h"
#include "engine/image/ImageFormat.h"
#include "engine/transfer/TransferRing.h"
#include "platform/VolumeId.h"

namespace stow::engine {

// Results of the start operations.
enum class StartResult : int {
  kStartOk = 0,
  kStartTaskRunning = 1,     // a worker of the running task is still alive
  kStartReaderStillSet = 2,  // the previous reader has not ended yet
  kStartWriterStillSet = 3,  // the previous writer has not ended yet
  kStartReaderFailed = 4,    // the reader (or the ring's buffers) could not be set up
  kStartWriterFailed = 5,
};
using enum StartResult;

// What a running task is doing: moving the data, or (a copy or restore asked
// to verify) reading back what it wrote.
enum class TaskPhase : int { kTransfer = 0, kVerify = 1 };

struct TaskProgress {
  uint64_t totalBytes = 0;
  uint64_t copiedBytes = 0;
  uint64_t filesDone = 0;
  TaskError errorCode = TaskError::kRunning;
  // In the verify phase the byte counts are those of the read-back.
  TaskPhase phase = TaskPhase::kTransfer;
};

// How a copy or restore checks what it wrote. Without `enabled` nothing is
// recorded and nothing is read back.
struct VerifyOptions {
  bool enabled = false;
  // Runs on the writer's thread between the transfer (the finaliser
  // included) and the read-back, with the ranges about to be read back. For
  // tests that change the destination there; empty in the program.
  std::function<void(std::span<const WrittenRange>)> beforeVerify;
};

enum class TaskKind : int { kNone = 0, kCopy = 1, kBackup = 2, kRestore = 3 };

// What a task is, fixed when it starts: its workers read it and never change
// it, and the next start replaces it only once they have ended.
struct TaskDescription {
  TaskKind kind = TaskKind::kNone;
  platform::VolumeId source;       // copy, backup: the volume read; empty for a restore
  platform::VolumeId destination;  // copy, restore: the volume written; empty for a backup
  std::string imagePath;           // backup: the image written; restore: the image read
  bool checksums = true;           // backup: the checksum file goes beside the image
  VerifyOptions verify;            // copy, restore: read back what was written
};

struct TaskThreads;

class TaskState {
 public:
  // Runs the engine's workers.
  TaskState();
  // Runs `threads` instead (engine/transfer/TaskThreads.h): for tests.
  explicit TaskState(TaskThreads threads);
  // Raises the stop flag and waits for both workers.
  ~TaskState();
  TaskState(const TaskState&) = delete;
  TaskState& operator=(const TaskState&) = delete;

  [[nodiscard]] StartResult StartCopy(const platform::VolumeId& source,
                                      const platform::VolumeId& destination,
                                      const VerifyOptions& verify = {});
  // The source volume is passed beside the header: here a volume is a device,
  // and the header's first byte only records the letter Windows gives it.
  // `checksums`: the checksum file goes beside the image.
  [[nodiscard]] StartResult StartBackup(const platform::VolumeId& source,
                                        const std::string& imagePath, const ImageHeader& header,
                                        uint64_t freeBytes, bool checksums = true);
  [[nodiscard]] StartResult StartRestore(const std::string& imagePath,
                                         const platform::VolumeId& destination,
                                         const VerifyOptions& verify = {});
  void StopTask() { stopFlag.store(true); }
  TaskProgress QueryProgress() const;

  // Stores `code` only while no error is set; true when it was stored. The
  // detail says what failed where (a record, an offset, a path and the system's
  // error text); it is kept with the first error only and shown after the
  // error's own text.
  bool SetFirstError(TaskError code, std::string detail = {});
  [[nodiscard]] TaskError ErrorCode() const { return static_cast<TaskError>(errorCode_.load()); }
  // The detail stored with the first error; empty when none was given.
  std::string ErrorDetail() const;

  bool ReaderRunning() const { return readerRunning_.load(std::memory_order_acquire); }
  bool WriterRunning() const { return writerRunning_.load(std::memory_order_acquire); }
  bool AnyWorkerRunning() const { return ReaderRunning() || WriterRunning(); }
  // Blocks until both workers of the last task have ended and joins them.
  void WaitForWorkers();

  TaskKind Kind() const { return static_cast<TaskKind>(kind_.load()); }
  // The description the last task was started with (an empty one before the
  // first); a worker reads its own task's.
  std::shared_ptr<const TaskDescription> Description() const;
  TransferRing& Ring() { return ring_; }

  // Shared fields. Writers in brackets.
  std::atomic<bool> stopFlag{false};        // [start clears; StopTask, failing writer set]
  std::atomic<uint64_t> bytesDone{0};       // [writer] progress numerator
  std::atomic<uint64_t> entryTotal{0};      // [partition reader] entries of the source
  std::atomic<uint64_t> filesDone{0};       // [writer] record-number changes drained
  std::atomic<uint64_t> totalSectors{0};    // [reader] progress denominator, 512-byte sectors
  std::atomic<uint64_t> freeSpaceLimit{0};  // [start] backup target free space, sectors; 0: none
  std::atomic<uint64_t> recordCount{0};     // [reader] MFT records of the source
  std::atomic<int> phase{0};                // [writer] a TaskPhase
  std::atomic<uint64_t> verifyTotal{0};     // [writer] bytes the read-back compares
  std::atomic<uint64_t> verifyDone{0};      // [writer] bytes compared so far

 private:
  [[nodiscard]] StartResult Start(TaskDescription description, const ImageHeader* header,
                                  uint64_t freeSectors);
  [[nodiscard]] bool Spawn(std::thread& thread, std::atomic<bool>& running, bool isReader,
                           std::function<void()> body);
  void JoinEnded();

  std::unique_ptr<const TaskThreads> threads_;
  TransferRing ring_;
  std::mutex startMutex_;  // one start (or the destructor) at a time
  mutable std::mutex namesMutex_;
  mutable std::mutex detailMutex_;
  // [workers] a TaskError's number: 0 running, 255 success, else the first error.
  std::atomic<int> errorCode_{0};
  std::string errorDetail_;
  std::shared_ptr<const TaskDescription> description_;
  std::atomic<int> kind_{0};
  std::atomic<bool> readerRunning_{false};
  std::atomic<bool> writerRunning_{false};
  std::thread reader_;
  std::thread writer_;
};

// The one task state of the process, shared by the pages and the command line.
TaskState& ProcessTaskState();

}  // namespace stow::engine
