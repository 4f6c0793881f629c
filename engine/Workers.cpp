// Stand-in worker bodies: until the partition and image workers are built, a
// task that reaches them ends at once with a running error, so a front end
// never mistakes it for a transfer.
#include "engine/Workers.h"

#include "engine/TaskState.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

constexpr int kWorkerUnavailable = 1;  // reported as "Running Error!"

void EndUnavailable(TaskState& state, const char* name) {
  state.SetFirstError(kWorkerUnavailable);
  state.stopFlag.store(true);
  LogLess("%s is not available in this build", name);
}

}  // namespace

void ReadPartitionThread(TaskState& state) { EndUnavailable(state, "ReadPartitionThread"); }

void BackupWriteFileThread(TaskState& state, ImageHeader) {
  EndUnavailable(state, "BackupWriteFileThread");
}

void ReadFromFileThread(TaskState& state) { EndUnavailable(state, "ReadFromFileThread"); }

void WritePartitionThread(TaskState& state) { EndUnavailable(state, "WritePartitionThread"); }

}  // namespace stow::engine
