#include "ui/pages/BackupHandler.h"

#include <utility>

#include "support/Format.h"
#include "support/Log.h"
#include "support/StringTable.h"
#include "tasks/BackupTask.h"
#include "tasks/Courses.h"
#include "ui/framework/EventThread.h"

namespace stow::ui {

CBackupHandler::CBackupHandler(UiHost& host, TaskPhase& phase, engine::TaskState& state,
                               VolumeSource volumes)
    : host_(host),
      phase_(phase),
      state_(state),
      source_(std::move(volumes)) {}

CBackupHandler::~CBackupHandler() {
  if (page_ != nullptr) {
    page_->StopTimer(kProgressTimer);
    page_->SetHandlers({});
  }
  course_.reset();
}

bool CBackupHandler::Init() {
  page_ = host_.FindPage(kPageName);
  if (page_ == nullptr) {
    LogLessText(("The window has no page " + std::string(kPageName)).c_str());
    return false;
  }
  PageHandlers handlers;
  handlers.onCommand = [this](const std::string& control) { OnCommand(control); };
  handlers.onTimer = [this](int timerId) { OnTimer(timerId); };
  page_->SetHandlers(std::move(handlers));
  Refresh();
  return true;
}

void CBackupHandler::Refresh() {
  volumes_.clear();
  source_.refresh(volumes_);
  adapter_ = std::make_shared<PartitionListAdapter>(volumes_, true);
  if (ListView* list = page_->FindListView(kListView)) {
    list->SetAdapter(adapter_);
    // The system volume is proposed.
    for (size_t row = 0; row < volumes_.size(); ++row) {
      if (volumes_[row].systemVolume != 0) {
        list->SetSel(static_cast<int>(row), true);
        adapter_->SetSelectedRow(static_cast<int>(row));
        break;
      }
    }
  }
  SetControls(true);
}

void CBackupHandler::SetControls(bool unlocked) {
  EnablePageControl(*page_, kSelectPathButton, unlocked);
  EnablePageControl(*page_, kStartButton, unlocked);
  EnablePageControl(*page_, kPathEdit, unlocked);
  EnablePageControl(*page_, kCancelButton, !unlocked);
}

void CBackupHandler::OnCommand(const std::string& control) {
  if (control == kSelectPathButton) {
    ChoosePath();
  } else if (control == kStartButton) {
    Start();
  } else if (control == kCancelButton) {
    Cancel();
  }
}

bool CBackupHandler::OnEvent(const EventThread& event) {
  if (page_ == nullptr || !EventIsFor(event, page_->Identity())) return false;
  if (event.Kind() == kEventControls) SetControls(event.value != 0);
  return true;
}

void CBackupHandler::ChoosePath() {
  const std::optional<std::string> path =
      host_.ChooseSaveFile({tasks::DefaultImageName(tasks::Today()), LoadText("fileSuffix")});
  if (!path) return;
  if (Control* edit = page_->Find(kPathEdit)) edit->SetText(*path);
}

void CBackupHandler::Notice(const std::string& id) { ShowNotice(host_, id, LoadText(id)); }

bool CBackupHandler::Checking() const {
  return course_ && course_->CurrentStep() == tasks::kStepCheck;
}

void CBackupHandler::Start() {
  // One task at a time (this page's own included).
  if (!phase_.IsIdle()) {
    Notice("backupThreadIsRunning");
    return;
  }
  if (course_) return;
  tasks::TaskDescription task;
  task.kind = engine::TaskKind::kBackup;
  if (const discovery::PartitionInfo* chosen = adapter_->SelectedPartition()) {
    task.source = chosen->volumeName;
  }
  const Control* edit = page_->Find(kPathEdit);
  task.image = edit != nullptr ? edit->Text() : std::string();
  task.shown = volumes_;
  tasks::CourseParts parts = tasks::CourseParts::System();
  parts.inventory = source_.refresh;
  parts.enumerate = source_.enumerate;
  // From the source's checks to the end no other page starts a task.
  phase_.Set(Phase::kBackup);
  const Control* text = page_->Find(progress_.text);
  shownText_ = text != nullptr ? text->Text() : std::string();
  PageCourse::Handlers handlers;
  handlers.stepStarted = [this](const std::string& step) { StepStarted(step); };
  handlers.waiting = [this](const std::string& step, const std::string& waiting) {
    SetPageText(*page_, progress_.text, waiting);
    // The source's checks read its whole $MFT: the page waits as a whole.
    if (step == tasks::kStepCheck) page_->SetLocked(true);
  };
  handlers.ended = [this](const tasks::CourseEnd& end) { Ended(end); };
  course_ = std::make_unique<PageCourse>(
      host_, tasks::BuildCourse(task, state_, std::move(parts)), std::move(handlers));
  course_->Start();
}

void CBackupHandler::StepStarted(const std::string& step) {
  if (!course_ || step != tasks::kStepTransfer) return;
  page_->SetLocked(false);
  SetPageText(*page_, progress_.text, shownText_);
  tracker_.emplace(host_.NowSeconds(), tasks::kBackupPercentFormat);
  page_->StartTimer(kProgressTimer, kTimerPeriodMs);
  // Locked until the task is over.
  SetControls(false);
}

void CBackupHandler::OnTimer(int timerId) {
  if (timerId == kProgressTimer) ProgressStep();
}

void CBackupHandler::ProgressStep() {
  if (!course_ || !tracker_) return;
  // The engine's figures as the task state has them now; the read-back of the
  // image reports its own.
  engine::TaskProgress progress = state_.QueryProgress();
  if (course_->CurrentStep() == tasks::kStepReadBack) {
    const tasks::StepProgress last = course_->LastProgress();
    if (!last.figures) return;
    progress = last.progress;
  }
  ShowProgress(*page_, progress_, tracker_->Step(progress, host_.NowSeconds()));
}

void CBackupHandler::Ended(const tasks::CourseEnd& end) {
  const tasks::StepStatus& status = end.status;
  // The engine ran: its last figures (all of it, or the zeros of a failure).
  const bool engineRan = status.Ok() || status.error != engine::TaskError::kNone;
  if (engineRan) ProgressStep();
  page_->StopTimer(kProgressTimer);
  page_->SetLocked(false);
  const std::unique_ptr<PageCourse> done = std::move(course_);
  tracker_.reset();
  lastResult_ = end;
  phase_.Set(Phase::kIdle);
  if (!engineRan) {
    // Refused, declined or stopped before anything was written.
    SetPageText(*page_, progress_.text, shownText_);
    if (status.id == "partitionInfoHaveChanged") {
      Notice(status.id);
      Refresh();
    } else if (status.Code() == tasks::StepCode::kRefused) {
      ShowNotice(host_, status.id.empty() ? kBackupRefusedId : status.id, status.text);
    }
    SetControls(true);
    return;
  }
  // The controls are unlocked once the dialog below has been closed.
  host_.Notify().Post({page_->Identity(), kEventControls, 1, {}});
  if (status.Ok()) {
    SetPageText(*page_, progress_.text, end.successText);
    host_.ShowResultDialog(SuccessResult());
    return;
  }
  // The dialog says what failed: the engine's text and its detail before
  // the generic line.
  std::string what = status.text;
  if (!status.Detail().empty()) what += ". " + status.Detail() + ".";
  LogLessText(("Backup failed (error " + std::to_string(engine::TaskErrorCode(status.error)) +
               "): " + what)
                  .c_str());
  ResultRequest failed = FailureResult();
  failed.text = what + "\n" + failed.text;
  host_.ShowResultDialog(failed);
}

void CBackupHandler::Cancel() {
  if (!course_) return;
  if (!state_.AnyWorkerRunning()) return;
  if (AskOkCancel(host_, "confirmStopOperate", LoadText("confirmStopOperate"))) course_->Stop();
}

}  // namespace stow::ui
