// What the copy and the restore task share: both overwrite a destination
// volume. The refusals they give, the checks they make on the destination
// before asking, the format that prepares it, the reformat that leaves an empty
// volume after a failed task, and the texts that end a task.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/transfer/TaskState.h"
#include "platform/VolumeId.h"
#include "platform/VolumeLock.h"

namespace stow::tasks {

// A rule that stopped a task, with the string-table entry of its message and
// the message as shown. An empty id means no refusal.
struct Refusal {
  std::string id;
  std::string text;
  bool Refused() const { return !id.empty(); }
};

// The refusal with the text of `id` filled by `args` (see FormatText).
Refusal MakeRefusal(std::string_view id, const std::vector<std::string>& args = {});

// The volume a task writes to, as the checks found it.
struct DestinationInfo {
  platform::VolumeId volume;
  uint64_t totalBytes = 0;
};

// The first check on a chosen destination: it can be opened as a volume (a
// device or a regular file standing in for one), else `destinationUnopenable`.
// Fills `out` when it can.
Refusal OpenDestination(const std::string& path, DestinationInfo& out);

// The checks that follow, in this order: the destination does not hold the
// running system (`destinationIsSystem`) and nothing mounts or holds it
// (`destinationInUse`): formatting it would destroy a live file system.
Refusal CheckDestinationUse(const DestinationInfo& destination);

// Takes the task's lock on a volume it writes (exclusive) or reads (shared),
// held by `out` until the task has ended: `destinationBusy` (or `sourceBusy`
// for a volume it reads) when another task of this program holds a lock that
// conflicts, `volumeLockFailed` with the system's error text otherwise.
Refusal LockTaskVolume(const platform::VolumeId& volume, platform::LockMode mode,
                       std::shared_ptr<platform::TaskLock>& out);

// The question's second line: `noticeFormatDisk` for the destination.
std::string NoticeFormatText(const platform::VolumeId& destination);

// Quick-formats the destination with `clusterSize` (0: the format's default)
// and checks it; `ManualFormatDisk` when the volume must not be written.
Refusal PrepareDestination(const platform::VolumeId& destination, int32_t clusterSize);

// How a copy or restore ended, as a front end reports it.
struct TaskOutcome {
  engine::TaskError errorCode = engine::TaskError::kRunning;  // how the engine ended
  bool succeeded = false;
  bool reformatted = false;  // after a failure: the destination is an empty NTFS volume again
  std::string text;          // the result text
  std::string detail;        // after an engine failure: what failed where (may be empty)
  std::string reformatText;  // after a failure that could not be reformatted: why
  // After an engine success: what the post-task chain returned (0: it
  // succeeded or had nothing to do), and a notice to show before the text
  // (a boot repair that could not start).
  int chainCode = 0;
  std::string notice;
};

// The post-task chain of a copy or restore (disk check, then boot repair when
// the destination holds a Windows system) is started through this hook once
// the engine has succeeded. It returns 0 when the chain succeeded or had
// nothing to do, else the failing step's code. Until the chain is built the
// default does nothing and returns 0.
struct PostTaskRequest {
  engine::TaskKind kind = engine::TaskKind::kNone;
  platform::VolumeId source;  // copy: the source volume; restore: empty
  platform::VolumeId destination;
  std::string imagePath;  // restore: the image
  // restore: the letter the image records for its source (0 when none)
  uint8_t sourceLetter = 0;
};
using PostTaskHook = std::function<int(const PostTaskRequest&)>;
PostTaskHook DefaultPostTaskHook();

// The chain with its own texts: its code (0 when it succeeded or had nothing
// to do), the text that ends the task (empty: the task's success text for
// code 0, `taskFailed` otherwise) and a notice shown before that text.
struct PostTaskResult {
  int code = 0;
  std::string text;
  std::string notice;
};
using PostTaskChain = std::function<PostTaskResult(const PostTaskRequest&)>;

// Ends a copy or restore whose engine finished with `errorCode`. Success runs
// the post-task hook and gives `successId`'s text; a failure reformats the
// destination (quick, default cluster size) so that it is left an empty volume
// rather than a half-written one, and gives the error code's text.
TaskOutcome FinishDestinationTask(const PostTaskRequest& request, engine::TaskError errorCode,
                                  std::string_view successId, const PostTaskHook& hook);
TaskOutcome FinishDestinationTask(const PostTaskRequest& request, engine::TaskError errorCode,
                                  std::string_view successId, const PostTaskChain& chain);

// A task of the engine is still running (any page would refuse to start).
bool EngineTaskRunning(const engine::TaskState& state);

}  // namespace stow::tasks
