// The four worker thread bodies that move a task's data through the transfer
// ring. Each runs on its own thread started by TaskState; it ends by returning
// (the engine then clears its running flag).
#pragma once

#include "engine/ImageFormat.h"

namespace stow::engine {

class TaskState;

// Reader of copy and backup: walks the source volume's MFT and sends its data runs.
void ReadPartitionThread(TaskState& state);
// Writer of backup: drains the ring into the image file; owns `header`.
void BackupWriteFileThread(TaskState& state, ImageHeader header);
// Reader of restore: reads the image file's blocks into the ring.
void ReadFromFileThread(TaskState& state);
// Writer of copy and restore: places the runs on the destination volume.
void WritePartitionThread(TaskState& state);

}  // namespace stow::engine
