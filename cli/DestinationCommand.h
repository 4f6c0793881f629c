// The commands that write a destination volume (restore and copy) on the
// command line: their options, and the terminal as the driver of the task's
// course (tasks/DestinationCourse.h): the question, the warnings, the progress,
// Ctrl-C, the disk check and boot repair after success, and the exit status.
#pragma once

#include "cli/Commands.h"
#include "tasks/DestinationCourse.h"

namespace stow::cli {

// Parses "FIRST DEST [--yes] [--quiet] [--no-repair] [--verify]" (`usage` is
// what --help shows), runs `course` with the terminal as its driver and
// returns the exit status; `percentFormat` formats the progress line.
int RunDestinationCommand(const Args& given, const char* command, const char* usage,
                          const char* percentFormat, tasks::DestinationCourse& course);

}  // namespace stow::cli
