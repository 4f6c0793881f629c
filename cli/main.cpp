// stowline-cli: the command-line front end.
#include <cstdio>
#include <string>

#include "cli/Commands.h"
#include "platform/System.h"
#include "support/Log.h"

namespace stow::cli {
namespace {

struct Command {
  const char* name;
  int (*run)(const Args&);
  const char* summary;
};

constexpr Command kCommands[] = {
    {"info", RunInfo, "show an NTFS volume's metadata summary"},
    {"ptable", RunPtable, "list a disk's partition table (MBR, EBR chain or GPT)"},
    {"list", RunList, "list the volumes of the fixed disks as the partition list shows them"},
    {"inspect", RunInspect, "show a backup image's header and check its structure"},
    {"backup", RunBackup, "back an NTFS volume up into an image file"},
    {"restore", RunRestore, "restore a backup image onto a volume"},
    {"copy", RunCopy, "copy an NTFS volume onto another volume"},
};

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "Usage: stowline-cli COMMAND [ARGS...]\n\nCommands:\n");
  for (const auto& c : kCommands) std::fprintf(out, "  %-8s %s\n", c.name, c.summary);
  std::fprintf(out, "\nRun 'stowline-cli COMMAND --help' for a command's arguments.\n");
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

}  // namespace stow::cli

int main(int argc, char** argv) {
  using namespace stow::cli;
  // The log and its settings live beside the program, whatever the working directory.
  const std::string programDir = stow::platform::ProgramDirectory();
  stow::CLog::SetSettingsPathBeforeFirstUse(programDir + "/" + stow::kSettingsFile);
  stow::platform::Initialise();
  stow::CLog::Instance().Configure(programDir + "/" + stow::kLogFileName, stow::kLogBackupCount,
                                   stow::kLogSizeLimit);
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return 0;
  }
  const Args args(argv + 2, argv + argc);
  for (const auto& c : kCommands) {
    if (name == c.name) return c.run(args);
  }
  PrintUsage(stderr);
  return Fail(2, "unknown command '" + name + "'");
}
