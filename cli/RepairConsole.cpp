#include "cli/RepairConsole.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/TaskConsole.h"
#include "engine/transfer/TaskState.h"
#include "platform/Console.h"
#include "tasks/RepairChain.h"

namespace stow::cli {
namespace {

// Shows the waiting texts: rewritten in place on a terminal, one line each otherwise.
class WaitingPrinter {
 public:
  explicit WaitingPrinter(bool quiet)
      : quiet_(quiet), terminal_(platform::StandardOutputIsTerminal()) {}

  void Show(const std::string& text) {
    if (quiet_) return;
    if (terminal_) {
      // Blanks wipe the dots a longer previous text left.
      std::printf("\r%s          ", text.c_str());
      shown_ = true;
    } else {
      std::printf("%s\n", text.c_str());
    }
    std::fflush(stdout);
  }

  void End() {
    if (shown_) std::printf("\n");
    shown_ = false;
    std::fflush(stdout);
  }

 private:
  bool quiet_;
  bool terminal_;
  bool shown_ = false;
};

}  // namespace

bool TakeNoRepairOption(Args& args) {
  const auto kept = std::remove(args.begin(), args.end(), std::string(kNoRepairOption));
  const bool found = kept != args.end();
  args.erase(kept, args.end());
  return found;
}

tasks::PostTaskChain ConsoleRepairChain(bool quiet) {
  auto printer = std::make_shared<WaitingPrinter>(quiet);
  tasks::RepairChainOptions options;
  options.progress = [printer](const std::string& text) { printer->Show(text); };
  options.waitEnded = [printer] { printer->End(); };
  return tasks::MakeRepairChain(std::move(options));
}

int ReportRepairOutcome(const char* command, const tasks::TaskOutcome& outcome) {
  if (!outcome.notice.empty()) Fail(0, std::string(command) + ": " + outcome.notice);
  if (outcome.errorCode == engine::TaskError::kSuccess && !outcome.succeeded) {
    const int status = outcome.chainCode == tasks::kChainDiskCheckDamaged  ? kDiskCheckFailedStatus
                       : outcome.chainCode == tasks::kChainDiskCheckFailed ? kDiskCheckNotReopened
                                                                           : kRepairFailed;
    return Fail(status, std::string(command) + ": " + outcome.text);
  }
  return ReportTaskOutcome(command, outcome);
}

}  // namespace stow::cli
