// DiskResult: how an operation of the disk layer (the device, its partition
// tables, the volume checks) ended.
#pragma once

namespace stow::engine {

// Result codes of the disk operations. The same numbers are the engine's task
// error codes and what the log prints: ToInt (support/Enums.h) gives the number.
enum class DiskResult : int {
  kOk = 0,
  kNoDevice = 2,
  kReadFailed = 3,
  kShortRead = 4,
  kEbrShortRead = 5,
  kNoSuchEntry = 6,
  kSeekFailed = 7,
  kLockFailedForTable = 8,
  // Sector 0 lacks the 0x55AA signature: the disk has no MBR (and so no GPT either).
  kNoPartitionTable = 9,
  kLockNoDevice = 12,
  kLockRefused = 13,
  kUpdateFailed = 14,
  kWriteFailed = 15,
  kOpenFailed = 16,
  kIsGpt = 17,
  kAllocationFailed = 18,
  kNoGptSignature = 19,
  // Refusals of hostile or unsupported tables and volumes (not in the original set).
  kBadTable = 20,
  kUnsupportedVolume = 21,
};

}  // namespace stow::engine
