// ReadFromFileThread: the reader of a restore. It reads the image file's blocks
// front to back through ImageReader, the one bounds-checked reader of the
// layout, and hands each chunk to the writer through the transfer ring.
//
// An image that ends inside a block, or whose block record is damaged, ends the
// task with an error: the writer would otherwise finish a volume whose files
// miss their last runs and call it a success.
//
// When the image has its checksum file, every chunk is checked against it
// before it is committed to the ring (the header first, empty blocks as the
// reader passes them), and the whole image at its end, before the reader ends:
// the writer finishes a volume only after the reader has ended without an
// error, so no volume is finished from bytes that do not match.
#include <cerrno>
#include <thread>

#include "engine/disk/Disk.h"
#include "engine/image/ImageChecksums.h"
#include "engine/transfer/RestoreWorkers.h"
#include "engine/transfer/TaskState.h"
#include "engine/transfer/Workers.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

using namespace std::chrono_literals;

constexpr auto kPartnerPoll = 10ms;
// A full ring: wait for the writer to free a slot, and look at the stop flag
// and the writer at least this often.
constexpr auto kFullRingWait = 10ms;

bool WaitForWriter(TaskState& state, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!state.WriterRunning() && std::chrono::steady_clock::now() < deadline) {
    if (state.ErrorCode() != TaskError::kRunning) return false;
    std::this_thread::sleep_for(kPartnerPoll);
  }
  return state.WriterRunning();
}

// A free slot, or -1 once the task is being stopped or the writer is gone.
int AcquireSlot(TaskState& state) {
  TransferRing& ring = state.Ring();
  for (;;) {
    const int i = ring.ProducerSlot();
    if (i >= 0) return i;
    if (state.stopFlag.load() || !ring.HasBuffers() || !state.WriterRunning()) return -1;
    ring.WaitForFreeSlot(kFullRingWait);
  }
}

// The checks of the image against its checksum file while it is sent.
class ContentCheck {
 public:
  ContentCheck(const ImageChecksums& sums, std::string path)
      : cursor_(sums), path_(std::move(path)) {}

  ChecksumCursor& Cursor() { return cursor_; }
  // Ends the task with the image-damaged error naming the first fault.
  void Fail(TaskState& state) const {
    LogLess("in readfromfile thread, the image does not match its checksum file: %s",
            cursor_.FaultText().c_str());
    state.SetFirstError(TaskError::kImageDamaged,
                        "The image " + path_ + ": " + cursor_.FaultText() + " (checked against " +
                            ChecksumPathFor(path_) +
                            "); nothing of that block was written. Restore another copy of the "
                            "image, or repeat the backup");
  }

 private:
  ChecksumCursor cursor_;
  std::string path_;
};

// Sends every chunk of the image; returns when it ends, stops or fails.
// `check` is null when the image has no checksum file.
void SendImage(TaskState& state, ImageReader& reader, ContentCheck* check) {
  TransferRing& ring = state.Ring();
  uint64_t recordCount = 0;
  bool emptyBlockFailed = false;
  if (check != nullptr) {
    reader.OnEmptyBlock([&](uint64_t offset, const BlockRecord& record) {
      const BlockRecordBytes bytes = record.Encode();
      if (!check->Cursor().CheckStretch(offset, bytes, {}, record.recordNumber)) {
        emptyBlockFailed = true;
      }
    });
  }
  for (;;) {
    if (state.stopFlag.load()) {
      state.SetFirstError(TaskError::kManualStop);
      return;
    }
    const int i = AcquireSlot(state);
    if (i < 0) {
      if (state.stopFlag.load()) state.SetFirstError(TaskError::kManualStop);
      return;
    }
    TransferSlot& slot = ring.Slot(i);
    ImageChunk chunk;
    const ImageStatus status = reader.Next(chunk, slot.Buffer());
    if (emptyBlockFailed) {
      check->Fail(state);
      return;
    }
    if (status == ImageStatus::kEnd) {
      // Every byte passed the checks: the stretches and the whole image.
      if (check != nullptr && !check->Cursor().End(reader.FileSize())) check->Fail(state);
      return;
    }
    if (status != ImageStatus::kChunk) {
      LogLess("in readfromfile thread, the image is damaged or cut short: %s",
              reader.FaultText().c_str());
      state.SetFirstError(TaskError::kImageDamaged,
                          "The image " + state.Description()->imagePath + ": " + reader.FaultText());
      return;
    }
    if (check != nullptr) {
      const std::span<const std::byte> data = slot.Buffer().first(chunk.dataLength);
      bool good;
      if (chunk.firstOfBlock) {
        const BlockRecordBytes record = reader.CurrentRecord().Encode();
        good =
            check->Cursor().CheckStretch(reader.RecordOffset(), record, data, chunk.recordNumber);
      } else {
        good = check->Cursor().CheckStretch(chunk.fileOffset, {}, data, chunk.recordNumber);
      }
      if (!good) {
        check->Fail(state);
        return;
      }
    }
    FillSlotHeader(slot, chunk);
    if (recordCount == 0 && chunk.dataLength != 0) {
      // The first block is the start of the source's $MFT: record 0 names its size.
      if (RecordCountFromMftRecord(slot.Data(), recordCount) != TaskError::kNone ||
          recordCount == 0) {
        LogLess("in readfromfile thread, the image's first record has no non-resident $DATA");
        state.SetFirstError(TaskError::kNoMftData);
        return;
      }
      state.recordCount.store(recordCount);
    }
    ring.Commit();
  }
}

}  // namespace

RestoreIo RestoreIo::Default() {
  RestoreIo io;
  io.openVolume = [](const platform::VolumeId& volume, bool readOnly, CDisk& disk) {
    return TaskErrorOf(disk.InitDisk(volume, readOnly));
  };
  io.openImage = [](const std::string& path, std::unique_ptr<platform::BlockDevice>& out) {
    return platform::OpenBlockDevice(path, true, out);
  };
  return io;
}

void RunImageReader(TaskState& state, const RestoreIo& io) {
  if (!WaitForWriter(state, io.partnerWait)) {
    state.Ring().CloseSignal();
    LogLess("in readfromfile thread, check write thread had stopped!");
    return;
  }
  std::unique_ptr<platform::BlockDevice> file;
  const int opened = io.openImage(state.Description()->imagePath, file);
  if (opened != 0 || !file) {
    LogLess("in readfromfile thread, open file false, error=0x%x", static_cast<unsigned>(opened));
    state.SetFirstError(TaskError::kImageOpenFailed,
                        "the image " + state.Description()->imagePath + " cannot be opened: " +
                            platform::SystemErrorText(opened != 0 ? opened : EIO));
    return;
  }
  // The checksum file is read once, before anything is sent; the restore's
  // checks refused a damaged one before the destination was formatted.
  ImageChecksums sums;
  std::string why;
  std::unique_ptr<ContentCheck> check;
  switch (LoadChecksumFile(state.Description()->imagePath, sums, why)) {
    case ChecksumLoad::kLoaded:
      check = std::make_unique<ContentCheck>(sums, state.Description()->imagePath);
      break;
    case ChecksumLoad::kMissing:
      LogLess("in readfromfile thread, the image has no checksum file; its data is not checked");
      break;
    case ChecksumLoad::kDamaged:
    case ChecksumLoad::kReadFailed:
      LogLess("in readfromfile thread, %s", why.c_str());
      if (!why.empty()) why[0] = 'T';  // "the checksum file ..." opens the sentence
      state.SetFirstError(TaskError::kImageDamaged, why);
      return;
  }
  if (check != nullptr) {
    ImageHeaderBytes header{};
    const platform::IoResult read = file->ReadAt(0, header);
    if (read.bytes != header.size() || !check->Cursor().CheckHeader(header)) {
      if (read.bytes != header.size()) {
        state.SetFirstError(TaskError::kImageDamaged,
                            "The image " + state.Description()->imagePath + ": its header cannot be read");
      } else {
        check->Fail(state);
      }
      return;
    }
  }
  ImageReader reader(*file, false, io.imageRetry);
  state.totalSectors.store(reader.TotalSectors());
  SendImage(state, reader, check.get());
  LogDebugText("read file thread exit!");
}

void ReadFromFileThread(TaskState& state) { RunImageReader(state, RestoreIo::Default()); }

}  // namespace stow::engine
