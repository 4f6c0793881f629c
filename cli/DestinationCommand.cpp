#include "cli/DestinationCommand.h"

#include <cstdio>
#include <string>

#include "cli/ExitStatus.h"
#include "cli/RepairConsole.h"
#include "cli/TaskConsole.h"
#include "engine/transfer/TaskState.h"
#include "support/StringTable.h"

namespace stow::cli {
namespace {

// The terminal as the course's driver: the warnings on standard error, the
// disk check and boot repair with their waiting texts unless --no-repair.
class ConsoleCourseDriver final : public ConsoleDriver<tasks::CourseDriver> {
 public:
  ConsoleCourseDriver(const char* command, const char* percentFormat, bool yes, bool quiet,
                      bool noRepair)
      : ConsoleDriver(command, command, percentFormat, yes, quiet), noRepair_(noRepair) {}

  void Notice(const std::string& text) override {
    std::fprintf(stderr, "%s: %s\n", command_, text.c_str());
  }

  tasks::PostTaskChain RepairChain() override {
    return noRepair_ ? tasks::NoPostTaskChain() : ConsoleRepairChain(quiet_);
  }

 private:
  bool noRepair_;
};

}  // namespace

int RunDestinationCommand(const Args& given, const char* command, const char* usage,
                          const char* percentFormat, tasks::DestinationCourse& course) {
  Args args = given;
  const bool noRepair = TakeNoRepairOption(args);
  const bool verify = TakeOption(args, "--verify");
  if (WantsHelp(args)) {
    std::fputs(usage, stdout);
    return 0;
  }
  std::string first;
  std::string destination;
  bool yes = false;
  bool quiet = false;
  int status = 0;
  if (!ParseTaskArgs(args, command, usage, first, destination, yes, quiet, status)) return status;
  ConsoleCourseDriver driver(command, percentFormat, yes, quiet, noRepair);
  tasks::CourseOptions options;
  options.verify = verify;
  const tasks::CourseResult result =
      course.Run(engine::ProcessTaskState(), first, destination, options, driver);
  switch (result.end) {
    case tasks::CourseEnd::kRefused:
      return Fail(kTaskRefused, std::string(command) + ": " + result.refusal.text);
    case tasks::CourseEnd::kDeclined:
      return driver.DeclinedStatus();
    case tasks::CourseEnd::kStopped:
      return Fail(TaskExitStatus(engine::TaskError::kManualStop),
                  std::string(command) + ":" + LoadText("errorManualStop"));
    case tasks::CourseEnd::kChecked:
    case tasks::CourseEnd::kPrepared:
    case tasks::CourseEnd::kStarted:
    case tasks::CourseEnd::kFinished:
      break;
  }
  return ReportRepairOutcome(command, result.outcome);
}

}  // namespace stow::cli
