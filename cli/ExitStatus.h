// The exit status of the task commands (backup, restore, copy) for how their
// engine task ended: the one place where a task error becomes a number that
// leaves the program.
#pragma once

#include "engine/core/TaskError.h"

namespace stow::cli {

// 0 for success, else the error's number, as --help lists it. A task that has
// no end yet (still "running") is no success: it gives kUnknown's number.
[[nodiscard]] int TaskExitStatus(engine::TaskError error);

}  // namespace stow::cli
