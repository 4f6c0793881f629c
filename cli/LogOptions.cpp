#include "cli/LogOptions.h"

#include "cli/ExitStatus.h"
#include "cli/RepairConsole.h"
#include "cli/TaskConsole.h"
#include "engine/transfer/TaskState.h"
#include "platform/System.h"
#include "support/Log.h"

namespace stow::cli {

bool TakeLogOption(Args& args, std::string& file, std::string& error) {
  const std::string prefix = std::string(kLogOption) + "=";
  Args kept;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == kLogOption) {
      if (i + 1 == args.size() || args[i + 1].empty()) {
        error = std::string(kLogOption) + " needs a FILE";
        return false;
      }
      file = args[++i];
    } else if (args[i].rfind(prefix, 0) == 0) {
      file = args[i].substr(prefix.size());
      if (file.empty()) {
        error = std::string(kLogOption) + " needs a FILE";
        return false;
      }
    } else {
      kept.push_back(args[i]);
    }
  }
  args = std::move(kept);
  return true;
}

LogChoice ChooseLog(const std::string& option, const std::string& environment,
                    const std::string& defaultDirectory) {
  if (!option.empty()) return {option, {}};
  if (!environment.empty()) return {environment, {}};
  return {defaultDirectory + "/" + kLogFileName, defaultDirectory};
}

void PrintLogHelp(std::FILE* out) {
  std::fprintf(out,
               "Log: every command appends its diagnostic lines to %s/%s (the\n"
               "folder is made with mode 0750 when missing), rotated at 5 MiB into %d numbered\n"
               "backups beside it. --log FILE (accepted by every command) or the environment\n"
               "variable %s names another file; the option wins. If the log cannot be\n"
               "written, a warning says so and the command goes on without it. The level is\n"
               "read from %s, section [LOG], key LEVEL (0 off, 1 less, 2 debug;\n"
               "2 when missing).\n",
               platform::DefaultLogDirectory().c_str(), kLogFileName, kLogBackupCount,
               kLogEnvironmentVariable, platform::DefaultSettingsPath().c_str());
}

void PrintExitStatusHelp(std::FILE* out) {
  std::fprintf(out,
               "Exit status of backup, restore and copy:\n"
               "  0    done\n"
               "  %-4d refused before anything was written (the message says why)\n"
               "  %-4d a usage error (the message names the argument)\n",
               kTaskRefused, kTaskUsageError);
  for (const engine::TaskError error : engine::TaskErrorCodes()) {
    std::string text;
    engine::ErrorCodeToText(error, text);
    std::fprintf(out, "  %-4d %s\n", TaskExitStatus(error), text.c_str());
  }
  std::fprintf(out,
               "  %-4d restore, copy: the boot repair failed\n"
               "  %-4d restore, copy: the disk check failed or could not run\n"
               "  %-4d restore, copy: the destination did not reopen after the disk check\n",
               kRepairFailed, kDiskCheckFailedStatus, kDiskCheckNotReopened);
}

}  // namespace stow::cli
