// The parts of a copy that its course's steps run (tasks/DestinationSteps.cpp):
// the rules that decide whether a volume may be copied onto another (in their
// fixed order, each with its one message), the question, the format that
// prepares the destination with the source's cluster size, and the engine's
// start.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/transfer/TaskState.h"
#include "platform/VolumeId.h"
#include "tasks/DestinationTask.h"

namespace stow::tasks {

struct CopyPlan {
  platform::VolumeId source;
  uint32_t sourceClusterSize = 0;
  DestinationInfo destination;
  // Shared on the source and exclusive on the destination until the task has ended.
  std::shared_ptr<platform::TaskLock> sourceLock;
  std::shared_ptr<platform::TaskLock> destinationLock;
  // Read back what was written before the copy counts as done.
  engine::VerifyOptions verify;
};

// The rules on the choice alone, the first four of CheckCopy: a task already
// running, no source, no destination, the same text for both.
Refusal CheckCopyChoice(const engine::TaskState& state, const std::string& source,
                        const std::string& destination);

// The rules, in order: a task already running (`copyThreadIsRunning`), no
// source (`choosesource`), no destination (`choosedestance`), the same text for
// both (`destEqualSour`), a source that cannot be opened (`sourceUnopenable`),
// a destination that cannot be opened (OpenDestination), volumes that overlap
// (the same device or file under another name, a disk and one of its
// partitions, a file and a loop device over it: `destEqualSour`), the locks
// of another task on either volume (LockTaskVolume), a destination in use
// (CheckDestinationUse), and a source that is not an NTFS
// volume this program copies (`sourceNotNtfs`), then a source that is mounted
// read-write or whose $MFT fails the checks a restore makes (`sourceUnsafe`).
// Fills `plan` when all pass.
Refusal CheckCopy(const engine::TaskState& state, const std::string& source,
                  const std::string& destination, CopyPlan& plan);

// The checks before the format that read the source through: its entry list
// (every record of its $MFT: `sourceMftUnreadable` when the $MFT or any of its
// records cannot be read) and the size check, the space the source's files need
// against the destination's size (`destinationTooSmall`). Run once CheckCopy has
// passed and holds the locks.
Refusal CheckCopySource(const CopyPlan& plan);

// `confirmcopy` with both volumes, a line feed, and `noticeFormatDisk`.
std::string ConfirmCopyText(const CopyPlan& plan);

// Formats the destination with the source's cluster size.
Refusal PrepareCopy(const CopyPlan& plan);

// Starts the engine's copy; on a start failure `runTaskError` with the code.
Refusal StartCopyTask(engine::TaskState& state, const CopyPlan& plan);

// What the steps after a successful copy is given.
PostTaskRequest CopyRequest(const CopyPlan& plan);

}  // namespace stow::tasks
