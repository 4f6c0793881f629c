// The common course of the commands that write a destination volume (restore
// and copy): options, the page's rules, the question, the format, the engine
// with its progress, and the disk check and boot repair after success.
#pragma once

#include <cstdio>
#include <string>

#include "cli/Commands.h"
#include "cli/RepairConsole.h"
#include "cli/TaskConsole.h"
#include "engine/TaskState.h"
#include "platform/Console.h"
#include "support/StringTable.h"

namespace stow::cli {

// `Steps` supplies the task's own steps for its plan type:
//   Check(state, first, destination, plan), ConfirmText(plan), Prepare(plan),
//   Start(state, plan), Finish(plan, code, chain); optionally Notice(plan), a
//   warning printed before the question (empty: none).
template <typename Plan, typename Steps>
int RunDestinationCommand(const Args& given, const char* command, const char* usage,
                          const char* percentFormat, const Steps& steps) {
  Args args = given;
  const bool noRepair = TakeNoRepairOption(args);
  const bool verify = TakeOption(args, "--verify");
  if (WantsHelp(args)) {
    std::fputs(usage, stdout);
    return 0;
  }
  const std::string prefix = std::string(command) + ": ";
  std::string first;
  std::string destination;
  bool yes = false;
  bool quiet = false;
  int status = 0;
  if (!ParseTaskArgs(args, command, usage, first, destination, yes, quiet, status)) return status;
  engine::TaskState& state = engine::ProcessTaskState();
  Plan plan;
  if (const tasks::Refusal r = steps.Check(state, first, destination, plan); r.Refused()) {
    return Fail(kTaskRefused, prefix + r.text);
  }
  plan.verify.enabled = verify;
  if constexpr (requires { steps.Notice(plan); }) {
    if (const std::string notice = steps.Notice(plan); !notice.empty()) {
      std::fprintf(stderr, "%s%s\n", prefix.c_str(), notice.c_str());
    }
  }
  if (!yes && !ConfirmOnTerminal(command, steps.ConfirmText(plan), command, status)) return status;
  platform::CatchInterrupts();
  if (const tasks::Refusal r = steps.Prepare(plan); r.Refused()) {
    return Fail(kTaskRefused, prefix + r.text);
  }
  if (platform::InterruptRequested()) {
    return Fail(engine::kTaskManualStop,
                std::string(command) + ":" + LoadText("errorManualStop"));
  }
  if (const tasks::Refusal r = steps.Start(state, plan); r.Refused()) {
    return Fail(kTaskRefused, prefix + r.text);
  }
  const int code = FollowTask(state, quiet, percentFormat);
  const tasks::PostTaskChain chain = noRepair ? NoRepairChain() : ConsoleRepairChain(quiet);
  tasks::TaskOutcome outcome = steps.Finish(plan, code, chain);
  if (code != engine::kTaskSuccess) outcome.detail = state.ErrorDetail();
  return ReportRepairOutcome(command, outcome);
}

}  // namespace stow::cli
