// The checks of a source volume that a backup or a copy runs before it writes
// or formats anything: an image the backup calls complete must restore, so the
// source must pass the checks the destination runs at its end (VolumeCheck)
// over every record of its $MFT, and must not change while it is read.
//
// The task layer runs them before it asks; the partition reader runs them again
// before it sends anything, so that the engine alone never writes an image
// that could not be restored.
#pragma once

#include <string>

#include "engine/core/TaskError.h"
#include "platform/VolumeId.h"

namespace stow::engine {

class CDisk;

// Runs every check on an open volume (read-only): the boot sector, record 0
// and the $MFT's runs, its $BITMAP, and every record (VolumeCheck). kNone, or
// the task error (TaskError::kSourceReadFailed when the $MFT cannot be read,
// TaskError::kSourceInconsistent when it is damaged) with `reason`: one line naming
// the record and what to do.
[[nodiscard]] TaskError CheckSourceRecords(CDisk& disk, std::string& reason);

// kNone when nothing may write to `volume` while it is read: it is not mounted, or
// only read-only. Else TaskError::kSourceMountedWritable with `reason`.
[[nodiscard]] TaskError CheckSourceNotWritable(const platform::VolumeId& volume,
                                               std::string& reason);

// Opens `volume` read-only and runs both checks above: kNone, or the task
// error with `reason`.
[[nodiscard]] TaskError CheckSourceVolume(const platform::VolumeId& volume, std::string& reason);

}  // namespace stow::engine
