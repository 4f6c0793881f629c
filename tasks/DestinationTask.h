// What the copy and the restore task share: both overwrite a destination
// volume. The refusals they give, the checks they make on the destination
// before asking, the format that prepares it, and the reformat that leaves an
// empty volume after a failed task.
#pragma once

#include <cstdint>
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

// What the steps after a copy or restore's engine (the disk check, the
// registry, the boot files) are given.
struct PostTaskRequest {
  engine::TaskKind kind = engine::TaskKind::kNone;
  platform::VolumeId source;  // copy: the source volume; restore: empty
  platform::VolumeId destination;
  std::string imagePath;  // restore: the image
  // restore: the letter the image records for its source (0 when none)
  uint8_t sourceLetter = 0;
};

// How a copy or restore whose engine failed leaves its destination.
struct FailedTaskEnd {
  std::string text;          // the error's text
  bool reformatted = false;  // the destination is an empty NTFS volume again
  std::string reformatText;  // when it could not be formatted again: what to do
};

// After the engine failed with `errorCode`: formats the destination again
// (quick, default cluster size) so that it is left an empty volume rather than
// a half-written one, and gives the error's text.
FailedTaskEnd EndFailedTask(const platform::VolumeId& destination, engine::TaskError errorCode);

// A task of the engine is still running (any page would refuse to start).
bool EngineTaskRunning(const engine::TaskState& state);

}  // namespace stow::tasks
