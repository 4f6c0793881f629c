#include "ui/pages/DestinationPage.h"

#include <utility>

#include "ui/framework/EventThread.h"
#include "support/Format.h"
#include "support/Log.h"
#include "support/StringTable.h"
#include "tasks/Courses.h"

namespace stow::ui {
namespace {

using tasks::StepCode;

// The text that ends a failed engine step: what failed, where, and what is
// left of the destination.
std::string FailureText(const tasks::StepStatus& status) {
  std::string text = status.text;
  if (!status.Detail().empty()) text += " (" + status.Detail() + ")";
  if (!status.leftBehind.empty()) text += " " + status.leftBehind;
  return text;
}

ResultRequest FailureResultWith(const std::string& text) {
  ResultRequest request = FailureResult();
  if (!text.empty()) request.text = text;
  return request;
}

// The task phase while `step` runs, for a page whose task is `own`.
Phase PhaseOf(const std::string& step, Phase own) {
  if (step == tasks::kStepDiskCheck || step == tasks::kStepRegistry) return Phase::kDiskCheck;
  if (step == tasks::kStepBootFiles || step == tasks::kStepActivation) return Phase::kBootRepair;
  return own;
}

}  // namespace

DestinationPage::DestinationPage(UiHost& host, TaskPhase& phase, engine::TaskState& state,
                                 DestinationPageParts parts, DestinationPageKind kind)
    : host_(host),
      phase_(phase),
      state_(state),
      parts_(std::move(parts)),
      kind_(std::move(kind)),
      progress_(ProgressControlsFor(kind_.suffix)) {}

DestinationPage::~DestinationPage() {
  if (page_ != nullptr) {
    page_->StopTimer(kind_.progressTimer);
    page_->SetHandlers({});
  }
  course_.reset();
}

bool DestinationPage::Init() {
  page_ = host_.FindPage(kind_.pageName);
  if (page_ == nullptr) {
    LogLess("The window has no page %s", kind_.pageName);
    return false;
  }
  PageHandlers handlers;
  handlers.onCommand = [this](const std::string& control) { OnCommand(control); };
  handlers.onSelectionChanged = [this](const std::string& control) {
    OnPageSelectionChanged(control);
  };
  handlers.onTimer = [this](int timerId) { OnTimer(timerId); };
  page_->SetHandlers(std::move(handlers));
  Refresh();
  return true;
}

void DestinationPage::Refresh() {
  volumes_.clear();
  parts_.volumes.refresh(volumes_);
  FillControls();
  SetControls(true);
}

void DestinationPage::SetControls(bool unlocked) {
  for (const std::string& input : kind_.inputs) EnablePageControl(*page_, input, unlocked);
  EnablePageControl(*page_, kind_.startButton, unlocked);
  EnablePageControl(*page_, kind_.cancelButton, !unlocked);
}

void DestinationPage::Notice(const std::string& id, const std::string& text) {
  ShowNotice(host_, id, text);
}

void DestinationPage::OnCommand(const std::string& control) {
  if (control == kind_.startButton) {
    Start();
  } else if (control == kind_.cancelButton) {
    Cancel();
  } else {
    OnPageCommand(control);
  }
}

void DestinationPage::OnTimer(int timerId) {
  if (timerId == kind_.progressTimer) ProgressStep();
}

void DestinationPage::RunCourse(tasks::TaskDescription task) {
  if (course_) return;  // the page's own task still ends
  task.shown = volumes_;
  tasks::CourseParts parts = tasks::CourseParts::System();
  parts.inventory = parts_.volumes.refresh;
  parts.enumerate = parts_.volumes.enumerate;
  parts.split = parts_.split;
  if (parts_.diskCheck) parts_.diskCheck(parts.diskCheck);
  if (parts_.bootRepair) parts_.bootRepair(parts.bootRepair);
  // From the checks on, no other page starts a task.
  phase_.Set(kind_.phase);
  SetControls(false);
  PageCourse::Handlers handlers;
  handlers.stepStarted = [this](const std::string& step) { StepStarted(step); };
  handlers.waiting = [this](const std::string& step, const std::string& text) {
    Waiting(step, text);
  };
  handlers.ended = [this](const tasks::CourseEnd& end) { Ended(end); };
  course_ = std::make_unique<PageCourse>(
      host_, tasks::BuildCourse(task, state_, std::move(parts)), std::move(handlers));
  page_->StartTimer(kind_.progressTimer, kTimerPeriodMs);
  course_->Start();
}

void DestinationPage::StepStarted(const std::string& step) {
  if (!course_) return;
  phase_.Set(PhaseOf(step, kind_.phase));
  page_->SetLocked(false);
  if (step == tasks::kStepTransfer) {
    tracker_.emplace(host_.NowSeconds(), kind_.percentFormat);
  } else if (step == tasks::kStepDiskCheck) {
    tracker_.reset();
    // The engine is done: its figures end at 100 %.
    if (ProgressBar* bar = page_->FindProgressBar(progress_.bar)) bar->SetValue(100);
    SetPageText(*page_, progress_.text, FormatText("100%%", {}));
  }
}

void DestinationPage::Waiting(const std::string& step, const std::string& text) {
  if (!course_) return;
  SetPageText(*page_, progress_.text, text);
  // The destination is being prepared: the page waits as a whole.
  if (step == tasks::kStepFormat || step == tasks::kStepSplit) page_->SetLocked(true);
}

void DestinationPage::ProgressStep() {
  if (!course_ || !tracker_) return;
  // The engine's figures, as the task state has them now (the read-back's too).
  const tasks::ProgressView view = tracker_->Step(state_.QueryProgress(), host_.NowSeconds());
  if (!view.finished) ShowProgress(*page_, progress_, view);
}

void DestinationPage::Cancel() {
  if (!course_) return;
  if (!state_.AnyWorkerRunning()) return;
  if (AskOkCancel(host_, "confirmStopOperate", LoadText("confirmStopOperate"))) course_->Stop();
}

void DestinationPage::Ended(const tasks::CourseEnd& end) {
  page_->StopTimer(kind_.progressTimer);
  page_->SetLocked(false);
  // Dropped when this ends: the course's thread has ended, its locks go with it.
  const std::unique_ptr<PageCourse> done = std::move(course_);
  const tasks::CourseState& working = done->Course().Working();
  ShowSystem(working.system && !working.noBoot);
  const bool split = working.splitDone;
  tracker_.reset();
  const tasks::StepStatus& status = end.status;
  switch (status.Code()) {
    case StepCode::kOk:
      EndTask(end.successText, true);
      break;
    case StepCode::kDeclined:
      phase_.Set(Phase::kIdle);
      SetPageText(*page_, progress_.text, "");
      SetControls(true);
      break;
    case StepCode::kRefused:
      phase_.Set(Phase::kIdle);
      SetPageText(*page_, progress_.text, "");
      Notice(status.id, status.text);
      // The inventory changed, or a split changed the disk: shown afresh.
      if (split || status.id == "partitionInfoHaveChanged" || status.id == kSplitFailedId) {
        Refresh();
      } else {
        SetControls(true);
      }
      break;
    case StepCode::kStopped:
    case StepCode::kEngineFailed:
    case StepCode::kImageNotVerified: {
      if (status.error == engine::TaskError::kNone) {
        // Stopped before the engine started: nothing was written by it.
        phase_.Set(Phase::kIdle);
        SetPageText(*page_, progress_.text, "");
        SetControls(true);
        break;
      }
      if (ProgressBar* bar = page_->FindProgressBar(progress_.bar)) bar->SetValue(0);
      SetPageText(*page_, progress_.total, "0 G");
      SetPageText(*page_, progress_.done, "0 G");
      SetPageText(*page_, progress_.elapsed, "0 Sec");
      SetPageText(*page_, progress_.remaining, "0 Sec");
      const std::string text = FailureText(status);
      SetPageText(*page_, progress_.text, FormatText(kind_.percentFormat, {"0"}));
      lastText_ = text;
      phase_.Set(Phase::kIdle);
      // The controls come back with the task-over event, after the dialog.
      host_.Notify().Post(EventThread{page_->Identity(), kEventControls, 1, {}});
      host_.ShowResultDialog(FailureResultWith(text));
      break;
    }
    case StepCode::kDiskCheckFailed:
    case StepCode::kNotReopened:
    case StepCode::kRepairFailed:
      EndTask(status.text, false);
      break;
  }
  if (split && status.Ok()) Refresh();
}

bool DestinationPage::OnEvent(const EventThread& event) {
  if (page_ == nullptr || !EventIsFor(event, page_->Identity())) return false;
  if (event.Kind() != kEventControls) return false;
  if (!course_) SetControls(event.value == 1);
  return true;
}

void DestinationPage::EndTask(const std::string& text, bool succeeded) {
  lastText_ = text;
  SetPageText(*page_, progress_.text, text);
  SetControls(true);
  phase_.Set(Phase::kIdle);
  host_.ShowResultDialog(succeeded ? SuccessResult() : FailureResultWith(text));
}

}  // namespace stow::ui
