// ReadFromFileThread: the reader of a restore. It reads the image file's blocks
// front to back through ImageReader, the one bounds-checked reader of the
// layout, and hands each chunk to the writer through the transfer ring.
//
// An image that ends inside a block, or whose block record is damaged, ends the
// task with an error: the writer would otherwise finish a volume whose files
// miss their last runs and call it a success.
#include <cerrno>
#include <thread>

#include "engine/Disk.h"
#include "engine/RestoreWorkers.h"
#include "engine/TaskState.h"
#include "engine/Workers.h"
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
    if (state.ErrorCode() != kTaskRunning) return false;
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

// Sends every chunk of the image; returns when it ends, stops or fails.
void SendImage(TaskState& state, ImageReader& reader) {
  TransferRing& ring = state.Ring();
  uint64_t recordCount = 0;
  for (;;) {
    if (state.stopFlag.load()) {
      state.SetFirstError(kTaskManualStop);
      return;
    }
    const int i = AcquireSlot(state);
    if (i < 0) {
      if (state.stopFlag.load()) state.SetFirstError(kTaskManualStop);
      return;
    }
    TransferSlot& slot = ring.Slot(i);
    ImageChunk chunk;
    const ImageStatus status = reader.Next(chunk, slot.Buffer());
    if (status == ImageStatus::kEnd) return;
    if (status != ImageStatus::kChunk) {
      LogLess("in readfromfile thread,the image is damaged or cut short: %s",
              reader.FaultText().c_str());
      state.SetFirstError(kTaskImageDamaged);
      return;
    }
    FillSlotHeader(slot, chunk);
    if (recordCount == 0 && chunk.dataLength != 0) {
      // The first block is the start of the source's $MFT: record 0 names its size.
      if (RecordCountFromMftRecord(slot.Data(), recordCount) != 0 || recordCount == 0) {
        LogLess("in readfromfile thread,the image's first record has no non-resident $DATA");
        state.SetFirstError(kTaskNoMftData);
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
    return disk.InitDisk(volume, readOnly);
  };
  io.openImage = [](const std::string& path, std::unique_ptr<platform::BlockDevice>& out) {
    return platform::OpenBlockDevice(path, true, out);
  };
  return io;
}

void RunImageReader(TaskState& state, const RestoreIo& io) {
  if (!WaitForWriter(state, io.partnerWait)) {
    state.Ring().CloseSignal();
    LogLess("in readfromfile thread,check write thread had stopped!");
    return;
  }
  std::unique_ptr<platform::BlockDevice> file;
  const int opened = io.openImage(state.ImagePath(), file);
  if (opened != 0 || !file) {
    LogLess("in readfromfile thread,open file false,error=0x%x", static_cast<unsigned>(opened));
    state.SetFirstError(kTaskImageOpenFailed,
                        "the image " + state.ImagePath() + " cannot be opened: " +
                            platform::SystemErrorText(opened != 0 ? opened : EIO));
    return;
  }
  ImageReader reader(*file, false, io.imageRetry);
  state.totalSectors.store(reader.TotalSectors());
  SendImage(state, reader);
  LogDebugText("read file thead exit!");
}

void ReadFromFileThread(TaskState& state) { RunImageReader(state, RestoreIo::Default()); }

}  // namespace stow::engine
