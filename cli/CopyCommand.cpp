// stowline-cli copy: copies an NTFS volume onto another, with the rules, the
// question, the progress and the result of the copy page.
#include <cstdio>
#include <string>

#include "cli/Commands.h"
#include "cli/RepairConsole.h"
#include "cli/TaskConsole.h"
#include "engine/TaskState.h"
#include "platform/Console.h"
#include "support/StringTable.h"
#include "tasks/CopyTask.h"
#include "tasks/ProgressStep.h"

namespace stow::cli {
namespace {

constexpr const char* kUsage =
    "Usage: stowline-cli copy SOURCE DEST [--yes] [--quiet] [--no-repair]\n"
    "\n"
    "Copies the NTFS volume SOURCE onto DEST; each is a device or an existing\n"
    "regular file standing in for a volume. DEST is formatted as NTFS with the\n"
    "source's cluster size, then the data of the source's files is placed on it.\n"
    "DEST must not be SOURCE (under any name, nor a disk or file that holds it),\n"
    "be mounted or hold the running system. Asks before it starts unless --yes is\n"
    "given; shows the progress each second; Ctrl-C stops the copy. A copy that\n"
    "fails or is stopped leaves DEST formatted as an empty volume.\n"
    "\n"
    "After a copy that succeeded, DEST is checked (ntfsfix), the drive letter\n"
    "its Windows system knew its source by is moved over to it, and when DEST\n"
    "holds a Windows system its disk's boot partition gets the boot files, boot\n"
    "configuration pointing at DEST and, on an MBR disk, the active flag.\n"
    "\n"
    "Exit status: 0 when the partition is copied, the engine's error code when\n"
    "the copy failed (25 when it was stopped), 1 when it was refused, 2 for a\n"
    "usage error, 100 when the disk check or the boot repair failed.\n"
    "\n"
    "  --yes     do not ask for confirmation\n"
    "  --quiet   show no progress\n"
    "  --no-repair  skip the disk check and the boot repair\n"
    "  --help    show this text\n";

}  // namespace

int RunCopy(const Args& given) {
  Args args = given;
  const bool noRepair = TakeNoRepairOption(args);
  if (WantsHelp(args)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::string source;
  std::string destination;
  bool yes = false;
  bool quiet = false;
  int status = 0;
  if (!ParseTaskArgs(args, "copy", kUsage, source, destination, yes, quiet, status)) {
    return status;
  }
  engine::TaskState& state = engine::ProcessTaskState();
  tasks::CopyPlan plan;
  if (const tasks::Refusal r = tasks::CheckCopy(state, source, destination, plan); r.Refused()) {
    return Fail(kTaskRefused, "copy: " + r.text);
  }
  if (!yes && !ConfirmOnTerminal("copy", tasks::ConfirmCopyText(plan), "copy", status)) {
    return status;
  }
  platform::CatchInterrupts();
  if (const tasks::Refusal r = tasks::PrepareCopy(plan); r.Refused()) {
    return Fail(kTaskRefused, "copy: " + r.text);
  }
  if (platform::InterruptRequested()) {
    return Fail(engine::kTaskManualStop, "copy:" + LoadString("errorManualStop"));
  }
  if (const tasks::Refusal r = tasks::StartCopyTask(state, plan); r.Refused()) {
    return Fail(kTaskRefused, "copy: " + r.text);
  }
  const int code = FollowTask(state, quiet, tasks::kCopyPercentFormat);
  const tasks::PostTaskChain chain = noRepair ? NoRepairChain() : ConsoleRepairChain(quiet);
  return ReportRepairOutcome("copy", tasks::FinishCopy(plan, code, chain));
}

}  // namespace stow::cli
