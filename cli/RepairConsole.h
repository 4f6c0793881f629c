// The exit statuses of what follows the engine in a copy or restore (the
// disk check, the registry, the boot files), and the option that leaves it out.
#pragma once

#include "cli/Commands.h"

namespace stow::cli {

// The engine succeeded, but what follows it did not.
inline constexpr int kRepairFailed = 100;           // the boot repair failed
inline constexpr int kDiskCheckFailedStatus = 101;  // the disk check failed or could not run
inline constexpr int kDiskCheckNotReopened = 102;   // the destination did not reopen after it

inline constexpr const char* kNoRepairOption = "--no-repair";

// Removes every "--no-repair" from `args`; true when there was one.
bool TakeNoRepairOption(Args& args);

}  // namespace stow::cli
