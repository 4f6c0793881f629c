// TaskError: how an engine task (copy, backup or restore) ended, the value left
// in TaskState's error code: 0 while it runs, 255 on success, otherwise the
// first error. The numbers are what the front ends show and what stowline-cli
// exits with, so they never change.
//
// A failure of a disk operation the task could not recover from travels with
// the disk layer's own number (a DiskResult); numbers 1..23 that have no name
// here read as "Running Error!". Each named error has one row in the
// table of TaskError.cpp, which gives its text from the string table.
#pragma once

#include <span>
#include <string>

#include "engine/core/DiskResult.h"
#include "support/Enums.h"

namespace stow::engine {

enum class TaskError : int {
  kRunning = 0,
  // What a step of a task gives when it succeeded: no error, the task goes on.
  kNone = 0,
  kSourceReadFailed = 3,  // the source's metadata or a run cannot be read
  kNoMftData = 4,         // image: record 0 lacks a non-resident $DATA
  kVolumeNoDevice = 12,   // the volume to lock is not open
  kVolumeLocked = 13,     // another program holds the volume
  kVolumeOpenFailed = 16,
  kImageCreateFailed = 22,
  kImageOpenFailed = 23,
  kSpaceNotEnough = 24,  // backup target too small
  kManualStop = 25,
  kDestinationTooSmall = 26,
  kWriteFailed = 28,
  // The image file is cut short, a block record is damaged, or it holds no data.
  kImageDamaged = 29,
  // The resized $MFT would cover clusters the destination keeps in use.
  kMftZoneInUse = 30,
  // The copied records cannot be placed consistently: a run list outgrows its
  // record, a cluster is claimed twice or lies past the volume, a run never
  // arrived, or the stream of runs is out of step.
  kDestinationInconsistent = 31,
  // The destination's clusters are not the size of the source's.
  kClusterSizeMismatch = 32,
  // The source's $MFT is too small or continues in extension records.
  kSourceMftUnsupported = 33,
  // The source's file system is inconsistent: a record in use cannot be read
  // whole, a run list is damaged or lies outside the volume, or two files name
  // one cluster. Its image could never be restored.
  kSourceInconsistent = 34,
  // The source is mounted read-write: it can change while it is read.
  kSourceMountedWritable = 35,
  // The verification that follows a transfer found the destination holding
  // other data than was written to it, or could not read it back.
  kVerifyFailed = 36,
  // A number that names no task error (TaskErrorFromCode): a failure whose
  // cause is unknown. Nothing in the engine sets it.
  kUnknown = 254,
  kSuccess = 255,
};

// The number of a task error, where a number leaves the program or is stored:
// the command line's exit status, a log line.
[[nodiscard]] constexpr int TaskErrorCode(TaskError error) { return ToInt(error); }

// The task error a number stands for: a named code, or a disk operation's own
// number (1..23) as it is; any other number gives kUnknown, never "running" or
// "success".
[[nodiscard]] TaskError TaskErrorFromCode(int code);

// The task error a disk operation's result ends a task with: kNone for kOk,
// otherwise the disk layer's own number, which is a named task error's where
// the two mean the same (a failed read, open or lock) and reads as "Running
// Error!" elsewhere.
[[nodiscard]] TaskError TaskErrorOf(DiskResult result);

// The string-table identifier of an error's message: the table's row for a
// named error, "errorRun" for the other numbers 1..23 (a disk operation's
// failure); nullptr for any other.
[[nodiscard]] const char* TaskErrorStringId(TaskError error);

// Fills `text` with the message for an error (TaskErrorStringId's entry); an
// error without one leaves `text` as it was.
void ErrorCodeToText(TaskError error, std::string& text);

// The named errors a task can end with when it fails, in ascending order (for
// the exit statuses that --help lists).
[[nodiscard]] std::span<const TaskError> TaskErrorCodes();

}  // namespace stow::engine
