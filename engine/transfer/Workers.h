// The four worker thread bodies that move a task's data through the transfer
// ring. Each runs on its own thread started by TaskState; it ends by returning
// (the engine then clears its running flag).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/TaskError.h"
#include "engine/disk/FileEntry.h"
#include "engine/image/ImageFormat.h"
#include "platform/BlockDevice.h"
#include "platform/VolumeId.h"

namespace stow::engine {

class CDisk;
class TaskState;

// Where the workers' data comes from and goes to. The defaults open real
// devices and files; tests put memory devices and fault injection in their place.
struct WorkerIo {
  // Opens a volume into `disk` as InitDisk does: kNone, or the task error.
  std::function<TaskError(const platform::VolumeId& volume, bool readOnly, CDisk& disk)> openVolume;
  // The backup writes its image under a temporary name beside the target and
  // renames it over the target only once it is complete and on the storage.
  // The temporary name for a target path.
  std::function<std::string(const std::string& target)> temporaryName;
  // Creates the temporary image file for positioned writes: 0, or the system error.
  std::function<int(const std::string& path, std::unique_ptr<platform::BlockDevice>& out)>
      createImage;
  // Renames the finished image over the target: 0, or the system error.
  std::function<int(const std::string& from, const std::string& to)> replaceImage;
  // Removes an unfinished image file: 0, or the system error.
  std::function<int(const std::string& path)> removeImage;
  // Image-file transfers: tries and the pause between them.
  ImageRetry imageRetry;
  // How long the image writer waits for the reader to get past its checks
  // before it writes the header regardless.
  std::chrono::milliseconds readerStartWait{5000};

  static WorkerIo Default();
};

// Reader of copy and backup: walks the source volume's MFT and sends its data runs.
void ReadPartitionThread(TaskState& state);
// The same with the given ends (tests).
void RunPartitionReader(TaskState& state, const WorkerIo& io);
// Writer of backup: drains the ring into the image file; owns `header`.
void BackupWriteFileThread(TaskState& state, ImageHeader header);
void RunImageWriter(TaskState& state, ImageHeader header, const WorkerIo& io);
// Reader of restore: reads the image file's blocks into the ring.
void ReadFromFileThread(TaskState& state);
// Writer of copy and restore: places the runs on the destination volume.
void WritePartitionThread(TaskState& state);

}  // namespace stow::engine
