#include "engine/transfer/TaskState.h"

#include <system_error>

#include "engine/transfer/TaskThreads.h"
#include "engine/transfer/Workers.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

constexpr uint64_t kSectorBytes = 512;

}  // namespace

TaskThreads TaskThreads::Default() {
  TaskThreads t;
  t.readPartition = ReadPartitionThread;
  t.backupWrite = BackupWriteFileThread;
  t.readFromFile = ReadFromFileThread;
  t.writePartition = WritePartitionThread;
  return t;
}

TaskState::TaskState() : TaskState(TaskThreads::Default()) {}

TaskState::TaskState(TaskThreads threads)
    : threads_(std::make_unique<const TaskThreads>(std::move(threads))) {}

TaskState::~TaskState() {
  std::lock_guard<std::mutex> lock(startMutex_);
  stopFlag.store(true);
  if (reader_.joinable()) reader_.join();
  if (writer_.joinable()) writer_.join();
  ring_.Teardown();
}

bool TaskState::SetFirstError(TaskError code, std::string detail) {
  // The detail is stored before the code becomes visible, so that whoever sees
  // the error also sees what it was about.
  // "No error" is no first error: storing it would hide the failure that follows.
  if (code == TaskError::kRunning) return false;
  std::lock_guard<std::mutex> lock(detailMutex_);
  int expected = ToInt(TaskError::kRunning);
  if (!errorCode_.compare_exchange_strong(expected, ToInt(code))) return false;
  errorDetail_ = std::move(detail);
  return true;
}

std::string TaskState::ErrorDetail() const {
  std::lock_guard<std::mutex> lock(detailMutex_);
  return errorDetail_;
}

TaskProgress TaskState::QueryProgress() const {
  TaskProgress p;
  p.errorCode = ErrorCode();
  p.totalBytes = totalSectors.load() * kSectorBytes;
  // Sparse runs and skipped records leave bytes done below the total; a task
  // that ended well has copied everything there was.
  p.copiedBytes = p.errorCode == TaskError::kSuccess ? p.totalBytes : bytesDone.load();
  p.filesDone = filesDone.load();
  if (phase.load() == static_cast<int>(TaskPhase::kVerify)) {
    p.phase = TaskPhase::kVerify;
    p.totalBytes = verifyTotal.load();
    p.copiedBytes = p.errorCode == TaskError::kSuccess ? p.totalBytes : verifyDone.load();
  }
  return p;
}

void TaskState::WaitForWorkers() {
  std::lock_guard<std::mutex> lock(startMutex_);
  if (reader_.joinable()) reader_.join();
  if (writer_.joinable()) writer_.join();
}

std::shared_ptr<const TaskDescription> TaskState::Description() const {
  std::lock_guard<std::mutex> lock(namesMutex_);
  return description_ ? description_ : std::make_shared<const TaskDescription>();
}

void TaskState::JoinEnded() {
  if (!ReaderRunning() && reader_.joinable()) reader_.join();
  if (!WriterRunning() && writer_.joinable()) writer_.join();
}

bool TaskState::Spawn(std::thread& thread, std::atomic<bool>& running, bool isReader,
                      std::function<void()> body) {
  // The flag is set before the thread exists, so a body that ends at once
  // cannot have its "ended" overwritten by the start.
  running.store(true, std::memory_order_release);
  try {
    thread = std::thread([this, &running, isReader, body = std::move(body)] {
      body();
      running.store(false, std::memory_order_release);
      // A writer waiting without a time-out for its first slot must learn that
      // none will come.
      if (isReader) ring_.MarkProducerFinished();
    });
  } catch (const std::system_error& e) {
    running.store(false, std::memory_order_release);
    LogLess("cannot start a worker thread: %s", e.what());
    return false;
  }
  return true;
}

StartResult TaskState::Start(TaskDescription description, const ImageHeader* header,
                             uint64_t freeSectors) {
  const TaskKind kind = description.kind;
  std::lock_guard<std::mutex> lock(startMutex_);
  if (ring_.SignalOpen()) {
    if (AnyWorkerRunning()) return kStartTaskRunning;
    ring_.CloseSignal();
  }
  // A worker still ending (its partner already closed the ring's signal) must
  // not find its ring reset under it: refuse before touching the ring.
  if (ReaderRunning()) return kStartReaderStillSet;
  if (WriterRunning()) return kStartWriterStillSet;
  JoinEnded();
  if (!ring_.Reset()) return kStartReaderFailed;

  stopFlag.store(false);
  {
    std::lock_guard<std::mutex> names(namesMutex_);
    // Set before any worker starts, so that no worker ever sees it change.
    description_ = std::make_shared<const TaskDescription>(std::move(description));
  }
  {
    std::lock_guard<std::mutex> detail(detailMutex_);
    errorDetail_.clear();
    errorCode_.store(ToInt(TaskError::kRunning));
  }
  // Only a backup has a free-space limit; one left by an earlier backup must
  // not refuse a copy.
  freeSpaceLimit.store(freeSectors);
  // Stale counters of the previous task would show in the first progress tick.
  bytesDone.store(0);
  entryTotal.store(0);
  filesDone.store(0);
  totalSectors.store(0);
  recordCount.store(0);
  phase.store(static_cast<int>(TaskPhase::kTransfer));
  verifyTotal.store(0);
  verifyDone.store(0);
  kind_.store(static_cast<int>(kind));

  std::function<void()> readerBody;
  std::function<void()> writerBody;
  switch (kind) {
    case TaskKind::kCopy:
      readerBody = [this] { threads_->readPartition(*this); };
      writerBody = [this] { threads_->writePartition(*this); };
      break;
    case TaskKind::kBackup:
      readerBody = [this] { threads_->readPartition(*this); };
      writerBody = [this, h = *header] { threads_->backupWrite(*this, h); };
      break;
    case TaskKind::kRestore:
    case TaskKind::kNone:
      readerBody = [this] { threads_->readFromFile(*this); };
      writerBody = [this] { threads_->writePartition(*this); };
      break;
  }

  if (threads_->failSpawn == 1 || !Spawn(reader_, readerRunning_, true, std::move(readerBody))) {
    ring_.Teardown();
    return kStartReaderFailed;
  }
  if (threads_->failSpawn == 2 || !Spawn(writer_, writerRunning_, false, std::move(writerBody))) {
    // The reader gives up when no writer appears; it is stopped and joined here
    // so that it never touches the ring after the teardown.
    stopFlag.store(true);
    reader_.join();
    ring_.Teardown();
    return kStartWriterFailed;
  }
  return kStartOk;
}

StartResult TaskState::StartCopy(const platform::VolumeId& source,
                                 const platform::VolumeId& destination,
                                 const VerifyOptions& verify) {
  TaskDescription description;
  description.kind = TaskKind::kCopy;
  description.source = source;
  description.destination = destination;
  description.verify = verify;
  return Start(std::move(description), nullptr, 0);
}

StartResult TaskState::StartBackup(const platform::VolumeId& source, const std::string& imagePath,
                                   const ImageHeader& header, uint64_t freeBytes, bool checksums) {
  TaskDescription description;
  description.kind = TaskKind::kBackup;
  description.source = source;
  description.imagePath = imagePath;
  description.checksums = checksums;
  return Start(std::move(description), &header, freeBytes / kSectorBytes);
}

StartResult TaskState::StartRestore(const std::string& imagePath,
                                    const platform::VolumeId& destination,
                                    const VerifyOptions& verify) {
  TaskDescription description;
  description.kind = TaskKind::kRestore;
  description.destination = destination;
  description.imagePath = imagePath;
  description.verify = verify;
  return Start(std::move(description), nullptr, 0);
}

TaskState& ProcessTaskState() {
  // The log is made first so that it outlives the task state, whose destructor
  // waits for workers that may still write log lines.
  CLog::Instance();
  static TaskState state;
  return state;
}

}  // namespace stow::engine
