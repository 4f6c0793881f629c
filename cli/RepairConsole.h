// The chain after a copy or restore as the command line shows it: the disk
// check and the boot repair with their waiting texts as progress lines, and
// the texts they end with.
#pragma once

#include "cli/Commands.h"
#include "tasks/DestinationTask.h"

namespace stow::cli {

// The engine succeeded, but the disk check or the boot repair failed.
inline constexpr int kRepairFailed = 100;

inline constexpr const char* kNoRepairOption = "--no-repair";

// Removes every "--no-repair" from `args`; true when there was one.
bool TakeNoRepairOption(Args& args);

// The chain with its waiting texts shown once a second on the terminal (one
// line per second when the output is no terminal, nothing with `quiet`).
tasks::PostTaskChain ConsoleRepairChain(bool quiet);

// The chain that does nothing (--no-repair).
tasks::PostTaskChain NoRepairChain();

// Prints how a copy or restore ended, the chain included, and returns the
// exit status: 0, kRepairFailed, or what ReportTaskOutcome gives.
int ReportRepairOutcome(const char* command, const tasks::TaskOutcome& outcome);

}  // namespace stow::cli
