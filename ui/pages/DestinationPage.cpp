#include "ui/pages/DestinationPage.h"

#include <utility>

#include "bootrepair/BootRepair.h"
#include "bootrepair/DiskCheck.h"
#include "bootrepair/WindowsVolume.h"
#include "support/Format.h"
#include "support/Log.h"
#include "support/StringTable.h"
#include "tasks/CommandRunners.h"
#include "tasks/DestinationChoice.h"
#include "tasks/Events.h"
#include "tasks/RepairChain.h"

namespace stow::ui {
namespace {

// The text that ends a failed task: what failed and, after an engine failure,
// where, and whether the destination could be left an empty volume.
std::string FailureText(const tasks::TaskOutcome& outcome) {
  std::string text = outcome.text;
  if (!outcome.detail.empty()) text += " (" + outcome.detail + ")";
  if (!outcome.reformatText.empty()) text += " " + outcome.reformatText;
  return text;
}

ResultRequest FailureResultWith(const std::string& text) {
  ResultRequest request = FailureResult();
  if (!text.empty()) request.text = text;
  return request;
}

}  // namespace

DestinationPage::DestinationPage(UiHost& host, TaskPhase& phase, engine::TaskState& state,
                                 DestinationPageParts parts, DestinationPageKind kind)
    : host_(host),
      phase_(phase),
      state_(state),
      parts_(std::move(parts)),
      kind_(std::move(kind)),
      step_(host.Notify()),
      progress_(ProgressControlsFor(kind_.suffix)) {}

DestinationPage::~DestinationPage() {
  if (page_ != nullptr) {
    page_->StopTimer(kind_.progressTimer);
    page_->StopTimer(kind_.bootRepairTimer);
    page_->StopTimer(kind_.diskCheckTimer);
    page_->SetHandlers({});
  }
  JoinChainThread();
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

bool DestinationPage::RefuseChangedVolumes() {
  discovery::PartitionList now;
  parts_.volumes.enumerate(now);
  if (!tasks::PartitionListChanged(volumes_, now)) return false;
  Notice("partitionInfoHaveChanged", LoadText("partitionInfoHaveChanged"));
  Refresh();
  return true;
}

void DestinationPage::Notice(const std::string& id, const std::string& text) {
  ShowNotice(host_, id, text);
}

bool DestinationPage::Ask(const std::string& id, const std::string& text) {
  return AskOkCancel(host_, id, text);
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
  if (timerId == kind_.progressTimer) {
    dots_ = 0;
    ProgressStep();
  } else if (timerId == kind_.bootRepairTimer) {
    WaitingStep("waitingCopyBCD");
  } else if (timerId == kind_.diskCheckTimer) {
    WaitingStep("waitingchkdsk");
  }
}

// --- From the question to the engine start ---------------------------------------

void DestinationPage::Confirm(std::unique_ptr<tasks::DestinationCourse> course) {
  if (const std::string notice = course->Notice(); !notice.empty()) {
    Notice("noticeNoChecksumFile", notice);
  }
  if (!Ask(kind_.confirmId, course->Question())) return;  // the course drops its locks
  // From here the destination is written: no other page may start meanwhile.
  phase_.Set(kind_.phase);
  course_ = std::move(course);
  auto prepared = std::make_shared<tasks::CourseResult>();
  tasks::DestinationCourse* preparing = course_.get();
  const std::string waiting =
      FormatText(LoadText("waitingFormat"), {course_->Request().destination.DisplayName()});
  step_.Start(
      *page_, progress_.text, waiting,
      [preparing, prepared] {
        *prepared = preparing->Prepare();
        return 0;
      },
      [this, prepared](int) { Prepared(*prepared); });
}

void DestinationPage::Prepared(const tasks::CourseResult& prepared) {
  if (prepared.end != tasks::CourseEnd::kPrepared) {
    phase_.Set(Phase::kIdle);
    course_.reset();
    SetPageText(*page_, progress_.text, "");
    Notice(prepared.refusal);
    return;
  }
  tracker_.emplace(host_.NowSeconds(), kind_.percentFormat);
  page_->StartTimer(kind_.progressTimer, kTimerPeriodMs);
  const tasks::CourseResult started = course_->Start(state_);
  if (started.end != tasks::CourseEnd::kStarted) {
    page_->StopTimer(kind_.progressTimer);
    phase_.Set(Phase::kIdle);
    course_.reset();
    SetPageText(*page_, progress_.text, "");
    Notice(started.refusal);
    return;
  }
  request_ = course_->Request();
  running_ = true;
  dots_ = 0;
  SetControls(false);
}

void DestinationPage::SplitAndRestart(const discovery::PartitionInfo& destination,
                                      bool formatFirst) {
  phase_.Set(kind_.phase);
  const std::string name = destination.volumeName;
  auto result = std::make_shared<tasks::SplitOutcome>();
  SplitRunner split = parts_.split;
  const std::string waiting =
      FormatText(LoadText("waitingSplit"), {destination.Volume().DisplayName()});
  step_.Start(
      *page_, progress_.text, waiting,
      [destination, formatFirst, split, result] {
        if (formatFirst) {
          const tasks::Refusal formatted = tasks::PrepareDestination(
              destination.Volume(), static_cast<int32_t>(destination.bytesPerCluster));
          if (formatted.Refused()) {
            result->message = formatted.text;
            return 0;
          }
        }
        *result = split(destination);
        return 0;
      },
      [this, name, result](int) {
        phase_.Set(Phase::kIdle);
        SetPageText(*page_, progress_.text, "");
        // The disk's partitions changed whatever became of the split.
        Refresh();
        if (!result->Done()) {
          Notice(kSplitFailedId, FormatText(LoadText(kSplitFailedId), {name, result->message}));
          return;
        }
        if (ChooseAgain(name)) Start();
      });
}

// --- Following the task -------------------------------------------------------------

void DestinationPage::Cancel() {
  if (!running_ || phase_.Get() != kind_.phase) return;
  if (!state_.AnyWorkerRunning()) return;
  if (Ask("confirmStopOperate", LoadText("confirmStopOperate"))) state_.StopTask();
}

void DestinationPage::ProgressStep() {
  if (!tracker_) return;
  const tasks::ProgressView view = tracker_->Step(state_.QueryProgress(), host_.NowSeconds());
  ShowProgress(*page_, progress_, view);
  if (!view.finished) return;
  // The result counts once both workers have ended; that is a moment away.
  if (state_.AnyWorkerRunning()) return;
  page_->StopTimer(kind_.progressTimer);
  state_.WaitForWorkers();
  EngineEnded(state_.ErrorCode());
}

void DestinationPage::WaitingStep(const char* waitingId) {
  dots_ = dots_ + 1 > tasks::kMaxWaitingDots ? 0 : dots_ + 1;
  SetPageText(*page_, progress_.text, tasks::WaitingText(waitingId, dots_));
}

void DestinationPage::EngineEnded(engine::TaskError code) {
  running_ = false;
  if (code != engine::TaskError::kSuccess) {
    // The failure path: the destination is formatted again on a worker, so
    // that it is left an empty volume rather than a half-written one.
    if (ProgressBar* bar = page_->FindProgressBar(progress_.bar)) bar->SetValue(0);
    SetPageText(*page_, progress_.total, "0 G");
    SetPageText(*page_, progress_.done, "0 G");
    SetPageText(*page_, progress_.elapsed, "0 Sec");
    SetPageText(*page_, progress_.remaining, "0 Sec");
    auto ended = std::make_shared<tasks::CourseResult>();
    tasks::DestinationCourse* course = course_.get();
    engine::TaskState* state = &state_;
    const std::string waiting =
        FormatText(LoadText("waitingFormat"), {request_.destination.DisplayName()});
    step_.Start(
        *page_, progress_.text, waiting,
        [course, state, code, ended] {
          *ended = course->End(*state, code, tasks::NoPostTaskChain());
          return 0;
        },
        [this, ended](int) { Reformatted(*ended); });
    return;
  }
  if (ProgressBar* bar = page_->FindProgressBar(progress_.bar)) bar->SetValue(100);
  SetPageText(*page_, progress_.text, FormatText("100%%", {}));
  phase_.Set(Phase::kDiskCheck);
  dots_ = 0;
  page_->StartTimer(kind_.diskCheckTimer, kTimerPeriodMs);
  checkerSaid_ = std::make_shared<std::string>();
  bootrepair::DiskCheckOptions options;
  if (parts_.diskCheck) parts_.diskCheck(options);
  auto said = checkerSaid_;
  auto chained = options.checked;
  options.checked = [said, chained](const bootrepair::VolumeCheckResult& result) {
    *said = result.Describe();
    if (chained) chained(result);
  };
  JoinChainThread();
  chainThread_ = std::thread(
      [params = tasks::DiskCheckParams(request_, page_->Identity()), &notify = host_.Notify(),
       options]() mutable { bootrepair::DiskCheckThread(std::move(params), notify, options); });
}

void DestinationPage::Reformatted(const tasks::CourseResult& ended) {
  const std::string text = FailureText(ended.outcome);
  course_.reset();
  SetPageText(*page_, progress_.text, FormatText(kind_.percentFormat, {"0"}));
  lastText_ = text;
  phase_.Set(Phase::kIdle);
  host_.Notify().Post(EventThread{page_->Identity(), bootrepair::kEventControls, 1, {}});
  host_.ShowResultDialog(FailureResultWith(text));
}

bool DestinationPage::OnEvent(const EventThread& event) {
  if (page_ == nullptr || !tasks::EventIsFor(event, page_->Identity())) return false;
  switch (event.Kind()) {
    case bootrepair::kEventDiskCheck:
      DiskChecked(bootrepair::DiskCheckResultOf(event.value));
      return true;
    case bootrepair::kEventBootRepair:
      BootRepaired(bootrepair::BootRepairResultOf(event.value));
      return true;
    case bootrepair::kEventControls:
      SetControls(event.value == 1);
      return true;
    default:
      return false;
  }
}

void DestinationPage::DiskChecked(bootrepair::DiskCheckResult result) {
  page_->StopTimer(kind_.diskCheckTimer);
  JoinChainThread();
  if (phase_.Get() != Phase::kDiskCheck || !course_) return;  // not this page's chain
  if (auto end = tasks::DiskCheckEnd(request_, result, checkerSaid_ ? *checkerSaid_ : "")) {
    EndTask(end->text, false);
    return;
  }
  phase_.Set(Phase::kBootRepair);
  if (StartBootRepair()) return;
  // No boot repair: a data volume, or no partition for the boot files (then
  // the failure dialog came first).
  EndTask(tasks::NoRepairEnd(request_).text, true);
}

bool DestinationPage::StartBootRepair() {
  if (!bootrepair::IsWindowsVolume(request_.destination)) return false;
  discovery::PartitionList list;
  parts_.volumes.refresh(list);
  const discovery::PartitionInfo* boot = tasks::ChooseBootPartition(list, request_.destination);
  if (boot == nullptr) {
    const tasks::PostTaskResult none = tasks::NoBootPartitionEnd(request_);
    host_.ShowResultDialog(FailureResultWith(none.notice));
    return false;
  }
  auto params =
      std::make_unique<bootrepair::RepairParams>(tasks::BootRepairParams(*boot, request_));
  params->sender = page_->Identity();
  bootrepair::BootRepairOptions options;
  if (parts_.bootRepair) parts_.bootRepair(options);
  dots_ = 0;
  page_->StartTimer(kind_.bootRepairTimer, kTimerPeriodMs);
  chainThread_ =
      std::thread([params = std::move(params), &notify = host_.Notify(), options]() mutable {
        bootrepair::ChangeBcdThread(std::move(params), notify, options);
      });
  return true;
}

void DestinationPage::BootRepaired(bootrepair::BootRepairResult result) {
  page_->StopTimer(kind_.bootRepairTimer);
  JoinChainThread();
  if (phase_.Get() != Phase::kBootRepair || !course_) return;
  const tasks::PostTaskResult end = tasks::BootRepairEnd(request_, result);
  EndTask(end.text, end.code == tasks::kChainOk);
}

void DestinationPage::EndTask(const std::string& text, bool succeeded) {
  lastText_ = text;
  SetPageText(*page_, progress_.text, text);
  course_.reset();
  SetControls(true);
  phase_.Set(Phase::kIdle);
  host_.ShowResultDialog(succeeded ? SuccessResult() : FailureResultWith(text));
}

void DestinationPage::JoinChainThread() {
  if (chainThread_.joinable()) chainThread_.join();
}

}  // namespace stow::ui
