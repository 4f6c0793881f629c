#include "cli/DestinationCommand.h"

#include <cstdio>
#include <string>

#include "cli/RepairConsole.h"
#include "cli/TaskConsole.h"
#include "tasks/Courses.h"

namespace stow::cli {

int RunDestinationCommand(const Args& given, const char* command, const char* usage,
                          const char* percentFormat, engine::TaskKind kind) {
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
  tasks::TaskDescription task;
  task.kind = kind;
  (kind == engine::TaskKind::kCopy ? task.source : task.image) = first;
  task.destination = destination;
  task.verify = verify;
  task.repair = !noRepair;
  ConsoleFrontEnd frontEnd(command, command, percentFormat, yes, quiet);
  const auto course = tasks::BuildCourse(task, engine::ProcessTaskState());
  const tasks::CourseEnd end = course->Run(frontEnd);
  return ReportCourseEnd(command, *course, end, frontEnd);
}

}  // namespace stow::cli
