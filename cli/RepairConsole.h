// The chain after a copy or restore as the command line shows it: the disk
// check and the boot repair with their waiting texts as progress lines, and
// the texts they end with.
#pragma once

#include "cli/Commands.h"
#include "tasks/DestinationTask.h"

namespace stow::cli {

// The engine succeeded, but what follows it did not.
inline constexpr int kRepairFailed = 100;           // the boot repair failed
inline constexpr int kDiskCheckFailedStatus = 101;  // the disk check failed or could not run
inline constexpr int kDiskCheckNotReopened = 102;   // the destination did not reopen after it

inline constexpr const char* kNoRepairOption = "--no-repair";

// Removes every "--no-repair" from `args`; true when there was one.
bool TakeNoRepairOption(Args& args);

// The chain with its waiting texts shown once a second on the terminal (one
// line per second when the output is no terminal, nothing with `quiet`).
tasks::PostTaskChain ConsoleRepairChain(bool quiet);

// Prints how a copy or restore ended, the chain included, and returns the
// exit status: 0, one of the three above, or what ReportTaskOutcome gives.
int ReportRepairOutcome(const char* command, const tasks::TaskOutcome& outcome);

}  // namespace stow::cli
