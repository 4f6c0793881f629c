// What the copy and the restore page share: both overwrite a destination
// volume. After the page's own rules and questions, the course's question, the
// preparation of the destination on a worker while the page is locked, the
// engine start back on the UI thread; then the progress step each second, the
// disk check and the boot repair with their waiting texts and events, cancel,
// the reformat of the destination after a failure, and the result dialog.
//
// Everything runs on the UI thread: the page's clicks and timer ticks, the
// continuations of the blocking steps and the worker events the notify centre
// delivers. The disk check and the boot repair run on threads of their own and
// reach the page only through events.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bootrepair/BootRepair.h"
#include "bootrepair/DiskCheck.h"
#include "discovery/PartitionInfo.h"
#include "engine/transfer/TaskState.h"
#include "tasks/CommandRunners.h"
#include "tasks/DestinationCourse.h"
#include "tasks/ProgressStep.h"
#include "ui/framework/BlockingStep.h"
#include "ui/framework/UiHost.h"
#include "ui/pages/PageInputs.h"
#include "ui/pages/PageProgress.h"
#include "ui/pages/TaskPhase.h"

namespace stow::ui {

// Splits a FAT partition off the destination's GPT disk.
using SplitRunner = std::function<tasks::SplitOutcome(const discovery::PartitionInfo& destination)>;

// The parts a destination page runs besides the course, replaceable by tests.
struct DestinationPageParts {
  VolumeSource volumes = VolumeSource::System();
  // The split script beside the program (tasks::SplitPartition).
  SplitRunner split = [](const discovery::PartitionInfo& destination) {
    return tasks::SplitPartition(destination);
  };
  // Options of the disk check and the boot repair threads.
  std::function<void(bootrepair::DiskCheckOptions&)> diskCheck;
  std::function<void(bootrepair::BootRepairOptions&)> bootRepair;
};

// The message when the boot partition could not be split off.
inline constexpr const char* kSplitFailedId = "splitPartitionFailed";

// The constants that tell the copy and the restore page apart.
struct DestinationPageKind {
  const char* pageName;
  const char* suffix;  // of the progress controls
  Phase phase;
  int progressTimer;
  int bootRepairTimer;
  int diskCheckTimer;
  const char* percentFormat;
  const char* runningId;  // the message while another task runs
  const char* confirmId;  // the question's id
  const char* startButton;
  const char* cancelButton;
  std::vector<std::string> inputs;  // enabled with the start button
};

class DestinationPage {
 public:
  DestinationPage(UiHost& host, TaskPhase& phase, engine::TaskState& state,
                  DestinationPageParts parts, DestinationPageKind kind);
  virtual ~DestinationPage();
  DestinationPage(const DestinationPage&) = delete;
  DestinationPage& operator=(const DestinationPage&) = delete;

  // Finds the page, takes its events and fills it; false when the window has
  // no such page.
  bool Init();

  // The worker-event handler the window registers with the notify centre:
  // takes the events of this page (kinds 1, 2 and 3), declines the others.
  bool OnEvent(const EventThread& event);

  const discovery::PartitionList& Volumes() const { return volumes_; }
  // The text the last task ended with (shown in the progress text).
  const std::string& LastText() const { return lastText_; }
  // The course of the task that runs, or of the start in progress.
  const tasks::DestinationCourse* Course() const { return course_.get(); }

 protected:
  // The page's own controls: filled from volumes_ after a refresh.
  virtual void FillControls() = 0;
  virtual void OnPageCommand(const std::string& /*control*/) {}
  virtual void OnPageSelectionChanged(const std::string& /*control*/) {}
  // The start procedure, from its first rule.
  virtual void Start() = 0;
  // The destination's volume name as the page shows it chosen.
  virtual std::string ChosenDestination() const = 0;
  // Selects `destination` again after a refresh, with the page's other
  // choices kept from before (the copy's source); false when it is gone.
  virtual bool ChooseAgain(const std::string& destination) = 0;

  // Refreshes the inventory and the page's controls.
  void Refresh();
  // Enables the inputs and the start button and disables cancel (`unlocked`),
  // or the reverse.
  void SetControls(bool unlocked);
  // The inventory changed since the page showed it: says so, refreshes, true.
  bool RefuseChangedVolumes();
  void Notice(const std::string& id, const std::string& text);
  void Notice(const tasks::Refusal& refusal) { Notice(refusal.id, refusal.text); }
  bool Ask(const std::string& id, const std::string& text);

  // The course's steps after the page's rules, on a course whose Check passed:
  // the notice, the question, the preparation on a worker, the start.
  void Confirm(std::unique_ptr<tasks::DestinationCourse> course);
  // Splits a boot partition off the destination's disk on a worker (after
  // formatting the destination first when `formatFirst`), refreshes and runs
  // the start procedure again with the same choice.
  void SplitAndRestart(const discovery::PartitionInfo& destination, bool formatFirst);

  UiHost& host_;
  TaskPhase& phase_;
  engine::TaskState& state_;
  DestinationPageParts parts_;
  DestinationPageKind kind_;
  Page* page_ = nullptr;
  discovery::PartitionList volumes_;

 private:
  void OnCommand(const std::string& control);
  void OnTimer(int timerId);
  void Prepared(const tasks::CourseResult& prepared);
  void Cancel();
  void ProgressStep();
  void WaitingStep(const char* waitingId);
  void EngineEnded(engine::TaskError code);
  void Reformatted(const tasks::CourseResult& ended);
  void DiskChecked(bootrepair::DiskCheckResult result);
  bool StartBootRepair();
  void BootRepaired(bootrepair::BootRepairResult result);
  // The end of the task: the text in the progress text, the controls, the
  // phase, and the dialog (success or failure).
  void EndTask(const std::string& text, bool succeeded);
  void JoinChainThread();

  std::unique_ptr<tasks::DestinationCourse> course_;
  BlockingStep step_;
  ProgressControls progress_;
  std::optional<tasks::ProgressTracker> tracker_;
  tasks::PostTaskRequest request_;
  std::thread chainThread_;
  std::shared_ptr<std::string> checkerSaid_;
  std::string lastText_;
  int dots_ = 0;
  bool running_ = false;  // this page started the task that runs now
};

}  // namespace stow::ui
