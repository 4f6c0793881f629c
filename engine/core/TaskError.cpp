#include "engine/core/TaskError.h"

#include <array>
#include <cstddef>

#include "support/StringTable.h"

namespace stow::engine {
namespace {

struct TaskErrorRow {
  TaskError error;
  const char* stringId;
};

// Every named code and its message, in ascending order. The codes whose cause
// is known say what happened and what to do; the detail stored with the error
// names the path, the record or the system's text.
constexpr TaskErrorRow kTaskErrorRows[] = {
    {TaskError::kRunning, "errorNo"},
    // An incomplete image is worse than none: say why the backup stopped.
    {TaskError::kSourceReadFailed, "errorSourceRead"},
    {TaskError::kNoMftData, "errorRun"},
    {TaskError::kVolumeNoDevice, "errorVolumeLocked"},
    {TaskError::kVolumeLocked, "errorVolumeLocked"},
    {TaskError::kVolumeOpenFailed, "errorVolumeOpen"},
    {TaskError::kImageCreateFailed, "errorImageCreate"},
    {TaskError::kImageOpenFailed, "errorImageOpen"},
    {TaskError::kSpaceNotEnough, "errorSpaceNotEnough"},
    {TaskError::kManualStop, "errorManualStop"},
    {TaskError::kDestinationTooSmall, "errorSpaceNotEnough"},
    {TaskError::kWriteFailed, "errorWriteFailed"},
    {TaskError::kImageDamaged, "errorImageDamaged"},
    {TaskError::kMftZoneInUse, "errorMftZoneInUse"},
    {TaskError::kDestinationInconsistent, "errorDestinationInconsistent"},
    {TaskError::kClusterSizeMismatch, "errorClusterSizeMismatch"},
    {TaskError::kSourceMftUnsupported, "errorSourceMftUnsupported"},
    {TaskError::kSourceInconsistent, "errorSourceInconsistent"},
    {TaskError::kSourceMountedWritable, "errorSourceMountedWritable"},
    {TaskError::kVerifyFailed, "errorVerifyFailed"},
    {TaskError::kSuccess, "copySystemSuccess"},
};

// The highest code a disk operation ends a task with.
constexpr int kLastDiskErrorCode = 23;

constexpr size_t kFailureCount = std::size(kTaskErrorRows) - 2;  // all but running and success

constexpr std::array<TaskError, kFailureCount> FailureCodes() {
  std::array<TaskError, kFailureCount> codes{};
  size_t n = 0;
  for (const TaskErrorRow& row : kTaskErrorRows) {
    if (row.error != TaskError::kRunning && row.error != TaskError::kSuccess) {
      codes[n++] = row.error;
    }
  }
  return codes;
}

constexpr bool Ascending() {
  for (size_t i = 1; i < std::size(kTaskErrorRows); ++i) {
    if (ToInt(kTaskErrorRows[i - 1].error) >= ToInt(kTaskErrorRows[i].error)) return false;
  }
  return true;
}
static_assert(Ascending(), "the rows are in ascending order of their codes, each code once");

constexpr std::array<TaskError, kFailureCount> kFailureCodes = FailureCodes();

const TaskErrorRow* RowOf(int code) {
  for (const TaskErrorRow& row : kTaskErrorRows) {
    if (ToInt(row.error) == code) return &row;
  }
  return nullptr;
}

bool IsDiskErrorCode(int code) { return code >= 1 && code <= kLastDiskErrorCode; }

// A disk operation's failure that keeps its own number.
constexpr TaskError DiskFailure(DiskResult result) { return static_cast<TaskError>(ToInt(result)); }

// The failures both sets name carry one number.
static_assert(DiskFailure(DiskResult::kReadFailed) == TaskError::kSourceReadFailed);
static_assert(DiskFailure(DiskResult::kLockNoDevice) == TaskError::kVolumeNoDevice);
static_assert(DiskFailure(DiskResult::kLockRefused) == TaskError::kVolumeLocked);
static_assert(DiskFailure(DiskResult::kOpenFailed) == TaskError::kVolumeOpenFailed);

}  // namespace

TaskError TaskErrorFromCode(int code) {
  if (const TaskErrorRow* row = RowOf(code)) return row->error;
  if (IsDiskErrorCode(code)) return static_cast<TaskError>(code);
  return TaskError::kUnknown;
}

TaskError TaskErrorOf(DiskResult result) {
  switch (result) {
    case DiskResult::kOk:
      return TaskError::kNone;
    case DiskResult::kReadFailed:
      return TaskError::kSourceReadFailed;
    case DiskResult::kLockNoDevice:
      return TaskError::kVolumeNoDevice;
    case DiskResult::kLockRefused:
      return TaskError::kVolumeLocked;
    case DiskResult::kOpenFailed:
      return TaskError::kVolumeOpenFailed;
    case DiskResult::kNoDevice:
    case DiskResult::kShortRead:
    case DiskResult::kEbrShortRead:
    case DiskResult::kNoSuchEntry:
    case DiskResult::kSeekFailed:
    case DiskResult::kLockFailedForTable:
    case DiskResult::kNoPartitionTable:
    case DiskResult::kUpdateFailed:
    case DiskResult::kWriteFailed:
    case DiskResult::kIsGpt:
    case DiskResult::kAllocationFailed:
    case DiskResult::kNoGptSignature:
    case DiskResult::kBadTable:
    case DiskResult::kUnsupportedVolume:
      return DiskFailure(result);
  }
  return TaskError::kUnknown;
}

const char* TaskErrorStringId(TaskError error) {
  const int code = TaskErrorCode(error);
  if (const TaskErrorRow* row = RowOf(code)) return row->stringId;
  return IsDiskErrorCode(code) ? "errorRun" : nullptr;
}

void ErrorCodeToText(TaskError error, std::string& text) {
  if (const char* id = TaskErrorStringId(error)) text = LoadText(id);
}

std::span<const TaskError> TaskErrorCodes() { return kFailureCodes; }

}  // namespace stow::engine
