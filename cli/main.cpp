// stowline-cli: the command-line front end.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "cli/Commands.h"
#include "cli/LogOptions.h"
#include "platform/BlockDevice.h"
#include "platform/System.h"
#include "support/Log.h"

namespace stow::cli {
namespace {

struct Command {
  const char* name;
  int (*run)(const Args&);
  const char* summary;
  bool task;  // runs an engine task: its help lists the engine's exit statuses
};

constexpr Command kCommands[] = {
    {"info", RunInfo, "show an NTFS volume's metadata summary", false},
    {"ptable", RunPtable, "list a disk's partition table (MBR, EBR chain or GPT)", false},
    {"list", RunList, "list the volumes of the fixed disks as the partition list shows them",
     false},
    {"inspect", RunInspect, "show a backup image's header and check its structure", false},
    {"backup", RunBackup, "back an NTFS volume up into an image file", true},
    {"restore", RunRestore, "restore a backup image onto a volume", true},
    {"copy", RunCopy, "copy an NTFS volume onto another volume", true},
};

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "Usage: stowline-cli COMMAND [ARGS...] [--log FILE]\n\nCommands:\n");
  for (const auto& c : kCommands) std::fprintf(out, "  %-8s %s\n", c.name, c.summary);
  std::fprintf(out, "\nRun 'stowline-cli COMMAND --help' for a command's arguments.\n\n");
  PrintLogHelp(out);
}

// Opens the log where the options, the environment or the system say; when
// it cannot be written, says so once and goes on without it.
void OpenLog(const LogChoice& choice) {
  if (!choice.directoryToCreate.empty()) {
    if (const int error = platform::EnsureLogDirectory(choice.directoryToCreate); error != 0) {
      std::fprintf(stderr,
                   "stowline-cli: warning: the log folder %s cannot be created (%s); going on "
                   "without a log (name one with --log FILE)\n",
                   choice.directoryToCreate.c_str(), platform::SystemErrorText(error).c_str());
      return;
    }
  }
  errno = 0;
  if (CLog::Instance().Configure(choice.file, kLogBackupCount, kLogSizeLimit) == 0) {
    const int error = errno;
    std::fprintf(stderr,
                 "stowline-cli: warning: the log %s cannot be written (%s); going on without a "
                 "log (name another with --log FILE)\n",
                 choice.file.c_str(), platform::SystemErrorText(error).c_str());
  }
}

}  // namespace

bool WantsHelp(const Args& args) {
  for (const auto& a : args) {
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "stowline-cli: %s\n", message.c_str());
  return status;
}

int UsageError(const std::string& command, const std::string& message) {
  return Fail(kUsageStatus,
              command + ": " + message + " (see 'stowline-cli " + command + " --help')");
}

}  // namespace stow::cli

int main(int argc, char** argv) {
  using namespace stow::cli;
  Args all(argv + 1, argv + argc);
  std::string logFile;
  std::string bad;
  if (!TakeLogOption(all, logFile, bad)) {
    return Fail(kUsageStatus, bad + " (see 'stowline-cli --help')");
  }
  const char* fromEnvironment = std::getenv(kLogEnvironmentVariable);
  const LogChoice choice = ChooseLog(logFile, fromEnvironment ? fromEnvironment : "",
                                     stow::platform::DefaultLogDirectory());
  stow::CLog::SetSettingsPathBeforeFirstUse(stow::platform::DefaultSettingsPath());
  stow::platform::Initialise();
  OpenLog(choice);
  if (all.empty()) {
    return Fail(kUsageStatus, "no command given (see 'stowline-cli --help')");
  }
  const std::string name = all[0];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return 0;
  }
  const Args args(all.begin() + 1, all.end());
  for (const auto& c : kCommands) {
    if (name != c.name) continue;
    const int status = c.run(args);
    if (WantsHelp(args)) {
      std::printf("\n");
      if (c.task) PrintExitStatusHelp(stdout);
      PrintLogHelp(stdout);
    }
    return status;
  }
  return Fail(kUsageStatus, "unknown command '" + name + "' (see 'stowline-cli --help')");
}
