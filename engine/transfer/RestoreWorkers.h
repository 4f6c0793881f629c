// The restore's reader (ReadFromFileThread) and the writer of copy and restore
// (WritePartitionThread), with the ends they open made replaceable for tests.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "engine/core/TaskError.h"
#include "engine/image/ImageFormat.h"
#include "platform/BlockDevice.h"
#include "platform/VolumeId.h"

namespace stow::engine {

class CDisk;
class TaskState;

struct RestoreIo {
  // Opens a volume into `disk` as InitDisk does: kNone, or the task error.
  std::function<TaskError(const platform::VolumeId& volume, bool readOnly, CDisk& disk)> openVolume;
  // Opens the image file for reading: 0, or the system error.
  std::function<int(const std::string& path, std::unique_ptr<platform::BlockDevice>& out)>
      openImage;
  // Image-file transfers: tries and the pause between them.
  ImageRetry imageRetry;
  // How long each thread waits for its partner to be running before it gives up.
  std::chrono::milliseconds partnerWait{1000};
  // The writer's poll while it waits for the reader to end after a failure.
  std::chrono::milliseconds endPoll{20};

  static RestoreIo Default();
};

void RunImageReader(TaskState& state, const RestoreIo& io);
void RunPartitionWriter(TaskState& state, const RestoreIo& io);

}  // namespace stow::engine
