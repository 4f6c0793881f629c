// The ends the workers open by default.
#include "engine/transfer/Workers.h"

#include "engine/disk/Disk.h"
#include "engine/transfer/TaskState.h"
#include "platform/Files.h"
#include "support/Log.h"

namespace stow::engine {

WorkerIo WorkerIo::Default() {
  WorkerIo io;
  io.openVolume = [](const platform::VolumeId& volume, bool readOnly, CDisk& disk) {
    return TaskErrorOf(disk.InitDisk(volume, readOnly));
  };
  io.temporaryName = platform::TemporaryPathBeside;
  io.createImage = platform::CreateNewFile;
  io.replaceImage = platform::ReplaceFile;
  io.removeImage = platform::RemoveFile;
  return io;
}

// ReadFromFileThread and WritePartitionThread: ImageReaderThread.cpp and
// PartitionWriterThread.cpp.

}  // namespace stow::engine
