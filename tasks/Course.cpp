#include "tasks/Course.h"

#include <utility>

#include "support/Format.h"
#include "support/Log.h"
#include "support/StringTable.h"
#include "tasks/CourseState.h"

namespace stow::tasks {

StepStatus StepFailed(StepCode code, const std::string& id, const std::vector<std::string>& args,
                      std::string detail) {
  StepStatus status;
  status.status = Status<StepCode>(code, std::move(detail));
  status.id = id;
  if (!id.empty()) status.text = args.empty() ? LoadText(id) : FormatText(LoadText(id), args);
  return status;
}

bool CourseState::Ask(const std::string& id, const std::string& text) const {
  return frontEnd != nullptr && frontEnd->Ask(id, text);
}

bool CourseState::Ask(const std::string& id) const { return Ask(id, LoadText(id)); }

void CourseState::Tell(const std::string& id, const std::string& text) const {
  if (frontEnd != nullptr) frontEnd->Tell(id, text);
}

bool CourseState::Progress(const StepProgress& progress) const {
  return frontEnd == nullptr || frontEnd->Progress(progress);
}

Course::Course(std::unique_ptr<CourseState> working, std::vector<Step> steps)
    : working_(std::move(working)), steps_(std::move(steps)) {}

Course::~Course() = default;

std::vector<std::string> Course::StepNames() const {
  std::vector<std::string> names;
  names.reserve(steps_.size());
  for (const Step& step : steps_) names.push_back(step.name);
  return names;
}

CourseEnd Course::Run(TaskFrontEnd& frontEnd) {
  working_->frontEnd = &frontEnd;
  CourseEnd end;
  for (const Step& step : steps_) {
    LogLess("step %s", step.name.c_str());
    frontEnd.StepStarted(step);
    StepStatus status = step.run(*working_);
    if (!status.Ok() && status.leftBehind.empty()) status.leftBehind = step.leaves;
    frontEnd.StepEnded(step, status);
    if (!status.Ok()) {
      LogLess("step %s ended: %s%s%s", step.name.c_str(), status.text.c_str(),
              status.Detail().empty() ? "" : " ", status.Detail().c_str());
      end.status = std::move(status);
      end.step = step.name;
      break;
    }
  }
  end.successText = working_->successText;
  end.notice = working_->notice;
  working_->frontEnd = nullptr;
  return end;
}

}  // namespace stow::tasks
