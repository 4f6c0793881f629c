// Where stowline-cli writes its log, and the help texts every command shares:
// the log options and the exit statuses of the task commands.
#pragma once

#include <cstdio>
#include <string>

#include "cli/Commands.h"

namespace stow::cli {

// Names the log file instead of the default place; the option wins over it.
inline constexpr const char* kLogEnvironmentVariable = "STOWLINE_LOG";
inline constexpr const char* kLogOption = "--log";

// Removes "--log FILE" and "--log=FILE" from `args` (the last one given wins)
// into `file`. False, with `error` naming the problem, when FILE is missing.
bool TakeLogOption(Args& args, std::string& file, std::string& error);

struct LogChoice {
  std::string file;               // the log file to open
  std::string directoryToCreate;  // the default folder, made when missing; empty otherwise
};

// The option's file, else the environment's, else Larkspur.log in `defaultDirectory`.
LogChoice ChooseLog(const std::string& option, const std::string& environment,
                    const std::string& defaultDirectory);

// The lines that --help prints about the log and its settings.
void PrintLogHelp(std::FILE* out);

// The exit statuses of backup, restore and copy: the command's own and the
// engine's error codes with their texts.
void PrintExitStatusHelp(std::FILE* out);

}  // namespace stow::cli
