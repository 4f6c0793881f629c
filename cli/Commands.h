// The commands of stowline-cli. Each takes the arguments after its own name and
// returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace stow::cli {

using Args = std::vector<std::string>;

int RunInfo(const Args& args);
int RunPtable(const Args& args);
int RunList(const Args& args);
int RunInspect(const Args& args);
int RunBackup(const Args& args);
int RunRestore(const Args& args);
int RunCopy(const Args& args);

// Shared helpers.
bool WantsHelp(const Args& args);
// Prints "stowline-cli: <message>" on stderr and returns `status`.
int Fail(int status, const std::string& message);

// The exit status of a usage error.
inline constexpr int kUsageStatus = 2;

// A usage error: one line naming the bad argument and pointing at --help.
int UsageError(const std::string& command, const std::string& message);

}  // namespace stow::cli
