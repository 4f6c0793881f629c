// How a task's course ends on the terminal: its texts and the exit status,
// from the one table of the command line.
#include <cstdio>
#include <string>

#include "cli/Commands.h"
#include "cli/ExitStatus.h"
#include "cli/RepairConsole.h"
#include "cli/TaskConsole.h"
#include "support/StringTable.h"
#include "tasks/CourseState.h"

namespace stow::cli {
namespace {

using tasks::StepCode;

// The exit status of each way a course ends, besides the engine's own errors.
int ExitStatusOf(const tasks::StepStatus& status, const ConsoleFrontEnd& frontEnd) {
  switch (status.Code()) {
    case StepCode::kOk:
      return 0;
    case StepCode::kRefused:
      return kTaskRefused;
    case StepCode::kDeclined:
      return frontEnd.DeclinedStatus() != 0 ? frontEnd.DeclinedStatus() : kTaskRefused;
    case StepCode::kStopped:
      return TaskExitStatus(engine::TaskError::kManualStop);
    case StepCode::kEngineFailed:
      return TaskExitStatus(status.error);
    case StepCode::kDiskCheckFailed:
      return kDiskCheckFailedStatus;
    case StepCode::kNotReopened:
      return kDiskCheckNotReopened;
    case StepCode::kRepairFailed:
      return kRepairFailed;
    case StepCode::kImageNotVerified:
      return TaskExitStatus(engine::TaskError::kImageDamaged);
  }
  return TaskExitStatus(engine::TaskError::kUnknown);
}

std::string EngineFailureText(const char* command, bool backup, const tasks::StepStatus& status) {
  const std::string code = std::to_string(engine::TaskErrorCode(status.error));
  if (backup) {
    const std::string detail = status.Detail().empty() ? "" : ". " + status.Detail() + ".";
    return std::string(command) + ": " + status.text + " (error " + code + ")" + detail;
  }
  const std::string detail = status.Detail().empty() ? "" : " " + status.Detail() + ".";
  const std::string left = status.leftBehind.empty() ? "" : " " + status.leftBehind;
  return std::string(command) + ": " + status.text + " (error " + code + ")." + detail + left;
}

}  // namespace

int ReportCourseEnd(const char* command, const tasks::Course& course, const tasks::CourseEnd& end,
                    const ConsoleFrontEnd& frontEnd) {
  const tasks::CourseState& working = course.Working();
  const bool backup = working.description.kind == engine::TaskKind::kBackup;
  if (!end.notice.empty()) Fail(0, std::string(command) + ": " + end.notice);
  const tasks::StepStatus& status = end.status;
  const int exitStatus = ExitStatusOf(status, frontEnd);
  const std::string prefix = std::string(command) + ": ";
  const std::string& image = working.backup.imagePath;
  switch (status.Code()) {
    case StepCode::kOk:
      std::printf("%s\n", end.successText.c_str());
      return 0;
    case StepCode::kDeclined:
      // The terminal said why when it could not ask; an answer "no" was told there too.
      return frontEnd.DeclinedStatus() != 0
                 ? exitStatus
                 : Fail(exitStatus, prefix + "not confirmed; nothing was written");
    case StepCode::kStopped:
      if (status.error == engine::TaskError::kManualStop && end.step == "read-back" && backup) {
        return Fail(exitStatus, prefix + "the check of the image was stopped; the image " + image +
                                    " is complete but was not verified (error 25)");
      }
      if (status.error != engine::TaskError::kNone) {
        return Fail(exitStatus, EngineFailureText(command, backup, status));
      }
      return Fail(exitStatus, std::string(command) + ":" + LoadText("errorManualStop"));
    case StepCode::kEngineFailed:
      return Fail(exitStatus, EngineFailureText(command, backup, status));
    case StepCode::kImageNotVerified:
      return Fail(exitStatus,
                  prefix + "the image " + image +
                      " failed verification: what was read back from the disk is not what "
                      "was written (" +
                      status.Detail() +
                      "). The image is kept but must not be trusted: check the disk that "
                      "holds it and repeat the backup (error 29)");
    case StepCode::kRefused:
    case StepCode::kDiskCheckFailed:
    case StepCode::kNotReopened:
    case StepCode::kRepairFailed:
      break;
  }
  return Fail(exitStatus, prefix + status.text);
}

}  // namespace stow::cli
