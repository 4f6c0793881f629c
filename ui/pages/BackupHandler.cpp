#include "ui/pages/BackupHandler.h"

#include <utility>

#include "support/Format.h"
#include "support/Log.h"
#include "support/StringTable.h"
#include "tasks/BackupTask.h"
#include "tasks/Events.h"

namespace stow::ui {

// The page as the backup course's driver: the question is the page's message
// box; the page follows the running task by its timer, so Follow is not used.
class CBackupHandler::Driver final : public tasks::BackupDriver {
 public:
  explicit Driver(UiHost& host) : host_(host) {}
  bool Confirm(const std::string& question) override {
    return AskOkCancel(host_, "confirmBackup", question);
  }
  engine::TaskError Follow(engine::TaskState& state) override {
    state.WaitForWorkers();
    return state.ErrorCode();
  }

 private:
  UiHost& host_;
};

CBackupHandler::CBackupHandler(UiHost& host, TaskPhase& phase, engine::TaskState& state,
                               VolumeSource volumes)
    : host_(host),
      phase_(phase),
      state_(state),
      source_(std::move(volumes)),
      driver_(std::make_unique<Driver>(host)),
      step_(host.Notify()) {}

CBackupHandler::~CBackupHandler() {
  if (page_ != nullptr) {
    page_->StopTimer(kProgressTimer);
    page_->SetHandlers({});
  }
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
  if (page_ == nullptr || !tasks::EventIsFor(event, page_->Identity())) return false;
  if (event.Kind() == bootrepair::kEventControls) SetControls(event.value != 0);
  return true;
}

void CBackupHandler::ChoosePath() {
  const std::optional<std::string> path =
      host_.ChooseSaveFile({tasks::DefaultImageName(tasks::Today()), LoadText("fileSuffix")});
  if (!path) return;
  if (Control* edit = page_->Find(kPathEdit)) edit->SetText(*path);
}

void CBackupHandler::Notice(const std::string& id) { ShowNotice(host_, id, LoadText(id)); }

bool CBackupHandler::VolumesChanged() const {
  discovery::PartitionList now;
  source_.enumerate(now);
  if (now.size() != volumes_.size()) return true;
  for (size_t i = 0; i < now.size(); ++i) {
    // Unmounted volumes have no mount path: the name tells them apart.
    if (now[i].volumeName != volumes_[i].volumeName || now[i].mountPath != volumes_[i].mountPath) {
      return true;
    }
  }
  return false;
}

void CBackupHandler::Start() {
  if (step_.Running()) return;
  // 1. The volumes changed since the page was drawn.
  if (VolumesChanged()) {
    Notice("partitionInfoHaveChanged");
    Refresh();
    return;
  }
  // 2. The chosen volume (an empty record when none is chosen).
  discovery::PartitionInfo selected;
  if (const discovery::PartitionInfo* chosen = adapter_->SelectedPartition()) selected = *chosen;
  // 3. One task at a time.
  if (!phase_.IsIdle()) {
    Notice("backupThreadIsRunning");
    return;
  }
  // 4. The page's own record of it.
  const discovery::PartitionInfo* record = nullptr;
  for (const discovery::PartitionInfo& volume : volumes_) {
    if (!selected.volumeName.empty() && volume.volumeName == selected.volumeName &&
        volume.mountPath == selected.mountPath) {
      record = &volume;
      break;
    }
  }
  if (record == nullptr) {
    Notice("getpartitionerror");
    return;
  }
  // 5. A path that can name a file.
  const Control* edit = page_->Find(kPathEdit);
  const std::string path = edit != nullptr ? edit->Text() : std::string();
  if (path.size() <= kShortestPathRefused) {
    Notice("setBackupPath");
    return;
  }
  // 6 to 10. The source's checks and the image's plan, as the command line
  // runs them, on a worker thread: they read the source's whole $MFT. No other
  // page starts a task meanwhile.
  phase_.Set(Phase::kBackup);
  course_ = std::make_unique<tasks::BackupCourse>();
  auto why = std::make_shared<std::string>();
  const Control* text = page_->Find(progress_.text);
  const std::string shownText = text != nullptr ? text->Text() : std::string();
  step_.Start(
      *page_, progress_.text, LoadText("waitingCheckSource"),
      [course = course_.get(), why, volume = record->Volume().DisplayName(), path] {
        return course->Prepare(volume, path, {}, *why) ? 1 : 0;
      },
      [this, why, shownText](int ok) { Checked(ok != 0, *why, shownText); });
}

void CBackupHandler::Checked(bool ok, const std::string& why, const std::string& shownText) {
  SetPageText(*page_, progress_.text, shownText);
  if (!ok) {
    phase_.Set(Phase::kIdle);
    course_.reset();
    ShowNotice(host_, kBackupRefusedId, why);
    return;
  }
  // The question, then the engine's start.
  const tasks::BackupResult begun = course_->ConfirmAndStart(state_, *driver_);
  if (begun.end != tasks::BackupEnd::kStarted) {
    phase_.Set(Phase::kIdle);
    course_.reset();
    if (begun.end == tasks::BackupEnd::kNotStarted) {
      ShowNotice(host_, "runTaskError",
                 FormatText(LoadText("runTaskError"),
                            {std::to_string(static_cast<int>(begun.startResult))}));
    }
    return;
  }
  running_ = true;
  tracker_.emplace(host_.NowSeconds(), tasks::kBackupPercentFormat);
  page_->StartTimer(kProgressTimer, kTimerPeriodMs);
  // 11. Locked until the task is over.
  SetControls(false);
}

void CBackupHandler::OnTimer(int timerId) {
  if (timerId == kProgressTimer) ProgressStep();
}

void CBackupHandler::ProgressStep() {
  if (!running_ || !tracker_) {
    page_->StopTimer(kProgressTimer);
    return;
  }
  const tasks::ProgressView view = tracker_->Step(state_.QueryProgress(), host_.NowSeconds());
  ShowProgress(*page_, progress_, view);
  // The task has ended once its error code is set and both workers have
  // returned; until then the page keeps looking, without blocking the window.
  if (!view.finished || state_.AnyWorkerRunning()) return;
  page_->StopTimer(kProgressTimer);
  Finish(view.status);
}

void CBackupHandler::Finish(engine::TaskError code) {
  // Both workers have returned: this only joins them.
  state_.WaitForWorkers();
  running_ = false;
  tasks::BackupResult result = course_->End(state_, code, *driver_);
  course_.reset();
  tracker_.reset();
  const bool done = result.end == tasks::BackupEnd::kDone;
  phase_.Set(Phase::kIdle);
  // The controls are unlocked once the dialog below has been closed.
  host_.Notify().Post({page_->Identity(), bootrepair::kEventControls, 1, {}});
  if (done) {
    SetPageText(*page_, progress_.text, result.text);
    host_.ShowResultDialog(SuccessResult());
  } else {
    // The dialog says what failed: the engine's text and its detail before
    // the generic line.
    std::string what = result.text;
    if (!result.detail.empty()) what += ". " + result.detail + ".";
    LogLessText(("Backup failed (error " + std::to_string(engine::TaskErrorCode(result.code)) +
                 "): " + what)
                    .c_str());
    ResultRequest failed = FailureResult();
    failed.text = what + "\n" + failed.text;
    host_.ShowResultDialog(failed);
  }
  lastResult_ = std::move(result);
}

void CBackupHandler::Cancel() {
  if (!running_) return;
  if (!state_.AnyWorkerRunning()) return;
  if (AskOkCancel(host_, "confirmStopOperate", LoadText("confirmStopOperate"))) state_.StopTask();
}

}  // namespace stow::ui
