// BackupWriteFileThread: the writer of a backup. It creates the image file,
// writes the header once the reader has got past its checks, then drains the
// ring: a block record whenever a run starts, the run's data after it, every
// write positioned at the running offset.
//
// However the task ends, it ends in order: the reader is stopped and has ended
// before the ring is torn down (it may be reading into a slot), and an image of
// a task that did not succeed is deleted, because its blocks would be out of
// step with the volume it claims to hold.
//
// The checksum of every byte is taken as it is written (ChecksumBuilder), on
// a thread of the builder's own while this thread writes the same bytes, so
// that the checksums do not lengthen the backup; a slot goes back to the reader
// only once its bytes are hashed. The checksum file "<image>.sums" is written
// last, once the image is on the storage, and put in place after it
// (PutInPlace).
#include <cerrno>
#include <cinttypes>
#include <thread>
#include <vector>

#include "engine/image/ImageChecksums.h"
#include "engine/transfer/TaskState.h"
#include "engine/transfer/Workers.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

using namespace std::chrono_literals;

constexpr auto kDrainWait = 1000ms;
constexpr auto kReaderPoll = 10ms;
constexpr auto kClosedSignalPoll = 1ms;
constexpr uint64_t kNoRecord = UINT64_MAX;
// Written bytes are handed to the storage in steps of this size while the
// backup goes on, so that the flush at its end does not write the whole image.
constexpr uint64_t kWritebackStep = 32ull << 20;

const char* kReaderStoppedText = "In backupWriteFile thread, check read thread had stopped!";
const char* kHeaderFailedText = "In backupWriteFile thread, write first head is error!";

// The reader has got past its checks (volume, entry list, free space) once it
// publishes the record count; until then the header may still be pointless.
// Polls instead of sleeping the whole wait, so that no backup waits for nothing.
void WaitForReaderStart(TaskState& state, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (state.ReaderRunning() && state.recordCount.load() == 0 &&
         state.ErrorCode() == TaskError::kRunning && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kReaderPoll);
  }
}

// Waits for the reader to end, freeing whatever it still commits so that it
// never waits for a slot. The caller has raised the stop flag or the reader has
// sent everything.
void WaitForReaderEnd(TaskState& state) {
  TransferRing& ring = state.Ring();
  while (state.ReaderRunning()) {
    while (ring.ConsumerSlot() >= 0) ring.Release();
    ring.WaitForSignal(kReaderPoll);
  }
}

// `systemError` is the system's error number when there is one, else 0.
void FailWrite(TaskState& state, const std::string& path, const char* what, int result,
               int systemError, uint64_t position) {
  LogLess("backup write file error at 0x%" PRIx64 ": %s (result %d)", position, what, result);
  std::string detail = "the image " + path + ": " + what + " at byte " + std::to_string(position);
  if (systemError != 0) detail += ": " + platform::SystemErrorText(systemError);
  state.SetFirstError(TaskError::kWriteFailed, std::move(detail));
  state.StopTask();
}

// Step 5 and 6: drains the ring into the image until the reader has ended and
// the ring is empty, or a write fails. `sums` (may be null) hashes the slots'
// bytes in the background: each slot is released only once it has settled.
void Drain(TaskState& state, ImageWriter& writer, platform::BlockDevice& file,
           ChecksumBuilder* sums) {
  TransferRing& ring = state.Ring();
  uint64_t previousRecord = kNoRecord;
  uint64_t handedOver = 0;
  for (;;) {
    const bool signalled = ring.WaitForSignal(kDrainWait);
    // Read before the slot: a reader that commits its last slot and ends between
    // the two checks still has that slot drained.
    const bool readerEnded = !state.ReaderRunning();
    const int i = ring.ConsumerSlot();
    if (i < 0) {
      if (readerEnded) return;
      if (!signalled && !ring.SignalOpen()) std::this_thread::sleep_for(kClosedSignalPoll);
      continue;
    }
    const TransferSlot& slot = ring.Slot(i);
    if (slot.recordNumber != previousRecord) {
      state.filesDone.fetch_add(1);
      previousRecord = slot.recordNumber;
    }
    // Once the task has failed or was stopped the image is deleted at the end;
    // what is left in the ring is only released.
    if (state.ErrorCode() == TaskError::kRunning) {
      const ImageWriteResult written = writer.Append(ChunkOfSlot(slot), slot.Data());
      if (sums != nullptr) sums->Settle();
      if (written != kImageWriteOk) {
        ring.Release();
        FailWrite(state, file.Path(), "a block cannot be written", ToInt(written),
                  writer.LastError(), writer.Position());
        return;
      }
      state.bytesDone.fetch_add(slot.dataLength != 0 ? slot.dataLength : slot.runLength);
      if (writer.Position() - handedOver >= kWritebackStep) {
        // Only a hint: the final flush finds and reports every failed write.
        static_cast<void>(file.StartWriteback(handedOver, writer.Position() - handedOver));
        handedOver = writer.Position();
      }
    }
    ring.Release();
  }
}

// Writes the checksum file of a finished image under a temporary name beside
// `sumsTarget` and makes it durable: true, or false once the task has failed.
// `written` names the file as soon as it exists, so that a failure removes it.
// A builder that went wrong would give a wrong checksum file: none is written
// and the backup fails instead.
bool WriteChecksumFile(TaskState& state, ChecksumBuilder& builder, uint64_t imageSize,
                       const std::string& sumsTarget, const WorkerIo& io, std::string& written) {
  const ImageChecksums sums = builder.Finish();
  if (builder.Broken() || sums.imageSize != imageSize) {
    LogLess("backup write file: the checksums are out of step with the image (%llu of %llu bytes)",
            static_cast<unsigned long long>(sums.imageSize),
            static_cast<unsigned long long>(imageSize));
    state.SetFirstError(TaskError::kWriteFailed,
                        "the checksums of the image went out of step with its bytes (a fault in "
                        "this program); no image was kept. Repeat the backup, or back up with "
                        "--no-checksums");
    return false;
  }
  const std::string path = io.temporaryName ? io.temporaryName(sumsTarget) : sumsTarget + ".new";
  std::unique_ptr<platform::BlockDevice> file;
  int error = io.createImage(path, file);
  if (error == 0 && !file) error = EIO;
  if (error == 0) {
    written = path;
    const std::vector<std::byte> bytes = sums.Encode();
    const platform::IoResult r = file->WriteAt(0, bytes);
    if (r.bytes != bytes.size()) error = r.error != 0 ? r.error : EIO;
    if (error == 0) error = file->Flush();
  }
  if (error != 0) {
    state.SetFirstError(TaskError::kWriteFailed,
                        "the checksum file " + path +
                            " cannot be written: " + platform::SystemErrorText(error) +
                            "; no image was kept and an earlier one is as it was. Make room or "
                            "choose another folder, then repeat the backup");
    return false;
  }
  return true;
}

void RemoveTemporary(const std::string& path, const WorkerIo& io) {
  if (path.empty()) return;
  const int removed = io.removeImage(path);
  if (removed != 0 && removed != ENOENT) {
    LogLess("backup write file: the unfinished file %s cannot be removed, error=0x%x", path.c_str(),
            static_cast<unsigned>(removed));
  }
}

// Puts the finished image and its checksum file in place. A checksum file of
// an earlier image at the target is first moved aside, so that at no moment a
// checksum file stands beside an image it does not belong to: a kill leaves
// either the old image (its checksum file perhaps aside) or the new image
// without one, both restorable. When the image cannot be renamed the old
// checksum file goes back.
void PutInPlace(TaskState& state, const std::string& path, const std::string& target,
                const std::string& sums, const WorkerIo& io) {
  const std::string sumsTarget = ChecksumPathFor(target);
  std::string aside;
  if (path != target) {
    aside = io.temporaryName ? io.temporaryName(sumsTarget) : sumsTarget + ".old";
    const int moved = io.replaceImage(sumsTarget, aside);
    if (moved == ENOENT) {
      aside.clear();
    } else if (moved != 0) {
      state.SetFirstError(
          TaskError::kWriteFailed,
          "the checksum file " + sumsTarget +
              " of the earlier image cannot be moved aside: " + platform::SystemErrorText(moved));
      return;
    }
    const int replaced = io.replaceImage(path, target);
    if (replaced != 0) {
      LogLess("backup write file: %s cannot be renamed to %s, error=0x%x", path.c_str(),
              target.c_str(), static_cast<unsigned>(replaced));
      if (!aside.empty() && io.replaceImage(aside, sumsTarget) != 0) {
        LogLess("backup write file: the checksum file %s cannot be put back", aside.c_str());
      }
      state.SetFirstError(TaskError::kWriteFailed, "the finished image " + path +
                                                       " cannot be renamed to " + target + ": " +
                                                       platform::SystemErrorText(replaced));
      return;
    }
  } else {
    // Written in place: nothing older survives beside it.
    const int removed = io.removeImage(sumsTarget);
    if (removed != 0 && removed != ENOENT) {
      state.SetFirstError(TaskError::kWriteFailed, "the checksum file " + sumsTarget +
                                                       " of the earlier image cannot be removed: " +
                                                       platform::SystemErrorText(removed));
      return;
    }
  }
  RemoveTemporary(aside, io);
  if (sums.empty()) return;
  const int placed = io.replaceImage(sums, sumsTarget);
  if (placed != 0) {
    state.SetFirstError(TaskError::kWriteFailed,
                        "the image " + target + " is complete, but its checksum file " + sums +
                            " cannot be renamed to " + sumsTarget + ": " +
                            platform::SystemErrorText(placed) +
                            "; its contents cannot be verified. Repeat the backup");
  }
}

// Step 7: closes the image; keeps it only when the task succeeded. The image
// was written under a temporary name: a finished one replaces the target, an
// unfinished one is removed, and a file that was at the target stays as it was.
// The checksum file is written last, once the image is on the storage.
void Finish(TaskState& state, std::unique_ptr<platform::BlockDevice> file, const std::string& path,
            const std::string& target, const WorkerIo& io, ChecksumBuilder* sums,
            uint64_t imageSize) {
  WaitForReaderEnd(state);
  state.Ring().Teardown();
  if (file && state.ErrorCode() == TaskError::kRunning) {
    // A backup is reported complete only once its bytes are on the target.
    const int flushed = file->Flush();
    if (flushed != 0) {
      FailWrite(state, path, "its data cannot be flushed", flushed, flushed, 0);
    }
  }
  file.reset();
  std::string sumsPath;
  if (state.ErrorCode() == TaskError::kRunning && sums != nullptr) {
    static_cast<void>(
        WriteChecksumFile(state, *sums, imageSize, ChecksumPathFor(target), io, sumsPath));
  }
  if (state.ErrorCode() == TaskError::kRunning) PutInPlace(state, path, target, sumsPath, io);
  if (!state.SetFirstError(TaskError::kSuccess)) {
    const int removed = io.removeImage(path);
    if (removed != 0 && removed != ENOENT) {
      LogLess("backup write file: the unfinished image %s cannot be removed, error=0x%x",
              path.c_str(), static_cast<unsigned>(removed));
    }
    RemoveTemporary(sumsPath, io);
  }
  LogDebugText("backup write thread exit!");
}

}  // namespace

void RunImageWriter(TaskState& state, ImageHeader header, const WorkerIo& io) {
  const std::string target = state.Description()->imagePath;
  const std::string path = io.temporaryName ? io.temporaryName(target) : target;
  std::unique_ptr<platform::BlockDevice> file;
  const int created = io.createImage(path, file);
  if (created != 0 || !file) {
    LogLess("Open backup file false, error=0x%x", static_cast<unsigned>(created));
    state.SetFirstError(TaskError::kImageCreateFailed,
                        "the image " + path + " cannot be created: " +
                            platform::SystemErrorText(created != 0 ? created : EIO));
    // Nobody would drain the ring: the reader is stopped and the task ends.
    state.StopTask();
    WaitForReaderEnd(state);
    state.Ring().Teardown();
    LogDebugText("backup write thread exit!");
    return;
  }
  state.bytesDone.store(0);
  state.filesDone.store(0);
  WaitForReaderStart(state, io.readerStartWait);

  ImageWriter writer(*file, io.imageRetry);
  // Fed with every byte as it is written; no data is copied for it.
  std::unique_ptr<ChecksumBuilder> sums;
  if (state.Description()->checksums) {
    sums = std::make_unique<ChecksumBuilder>();
    sums->HashInBackground();
    writer.FeedChecksums(sums.get());
  }
  // A reader that ended without an error has put everything into the ring.
  if (!state.ReaderRunning() && state.ErrorCode() != TaskError::kRunning) {
    LogLessText(kReaderStoppedText);
  } else if (writer.WriteHeader(header) != kImageWriteOk) {
    state.SetFirstError(
        TaskError::kWriteFailed,
        "the image " + path + ": its header cannot be written" +
            (writer.LastError() != 0 ? ": " + platform::SystemErrorText(writer.LastError())
                                     : std::string()));
    state.StopTask();
    LogLessText(kHeaderFailedText);
  } else {
    Drain(state, writer, *file, sums.get());
    // The reader ended without an error: every run it began must be complete.
    const ImageWriteResult complete = writer.Finish();
    if (state.ErrorCode() == TaskError::kRunning && complete != kImageWriteOk) {
      FailWrite(state, path, "the last run is incomplete", ToInt(complete), 0, writer.Position());
    }
  }
  Finish(state, std::move(file), path, target, io, sums.get(), writer.Position());
}

void BackupWriteFileThread(TaskState& state, ImageHeader header) {
  RunImageWriter(state, header, WorkerIo::Default());
}

}  // namespace stow::engine
