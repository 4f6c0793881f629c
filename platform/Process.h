// Running other programs.
#pragma once

#include <string>
#include <vector>

namespace stow::platform {

// Runs `argv` (argv[0] looked up on PATH) to completion with standard input
// closed, collecting its standard output and standard error into `output`.
// Returns the exit status, 128 + signal when it was killed, or -1 when it could
// not be started.
int RunProgram(const std::vector<std::string>& argv, std::string& output);

}  // namespace stow::platform
