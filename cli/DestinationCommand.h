// What the copy and the restore command share: the options, the course run
// with the terminal as its front end, and the report of its end.
#pragma once

#include "cli/Commands.h"
#include "engine/transfer/TaskState.h"

namespace stow::cli {

int RunDestinationCommand(const Args& given, const char* command, const char* usage,
                          const char* percentFormat, engine::TaskKind kind);

}  // namespace stow::cli
