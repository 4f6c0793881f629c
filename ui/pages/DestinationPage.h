// What the copy and the restore page share: both overwrite a destination
// volume. The page gathers the user's choice into a task description, runs
// the course every front end runs (tasks/Courses.h) through a PageCourse and
// only shows and answers: the questions and warnings in its dialogs, the step
// that runs in the task phase and the progress controls (the engine's figures
// each second, the waiting texts of the format, the split, the disk check and
// the boot files with the page locked while the destination is prepared),
// cancel, and the end in a message or the result dialog.
//
// The page's clicks, timer ticks and the course's calls run on the UI thread;
// the course runs on a thread of its own.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bootrepair/BootRepair.h"
#include "bootrepair/DiskCheck.h"
#include "discovery/PartitionInfo.h"
#include "engine/transfer/TaskState.h"
#include "tasks/CommandRunners.h"
#include "tasks/Course.h"
#include "tasks/ProgressStep.h"
#include "tasks/TaskDescription.h"
#include "ui/framework/UiHost.h"
#include "ui/pages/PageCourse.h"
#include "ui/pages/PageInputs.h"
#include "ui/pages/PageProgress.h"
#include "ui/pages/TaskPhase.h"

namespace stow::ui {

// Splits a FAT partition off the destination's GPT disk.
using SplitRunner = std::function<tasks::SplitOutcome(const discovery::PartitionInfo& destination)>;

// The parts a destination page's course runs, replaceable by tests.
struct DestinationPageParts {
  VolumeSource volumes = VolumeSource::System();
  // The split script beside the program (tasks::SplitPartition).
  SplitRunner split = [](const discovery::PartitionInfo& destination) {
    return tasks::SplitPartition(destination);
  };
  // Options of the disk check and the boot repair.
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
  const char* percentFormat;
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
  // takes the events of this page (the controls' unlock), declines the others.
  bool OnEvent(const EventThread& event);

  const discovery::PartitionList& Volumes() const { return volumes_; }
  // The text the last task ended with (shown in the progress text).
  const std::string& LastText() const { return lastText_; }
  // A course of this page runs (or its end has not reached the page yet).
  bool CourseRunning() const { return course_ != nullptr; }

 protected:
  // The page's own controls: filled from volumes_ after a refresh.
  virtual void FillControls() = 0;
  virtual void OnPageCommand(const std::string& /*control*/) {}
  virtual void OnPageSelectionChanged(const std::string& /*control*/) {}
  // The start: the page's choice as a task description, then RunCourse.
  virtual void Start() = 0;
  // What the checks found about the system going onto the destination, shown
  // in the page's flag.
  virtual void ShowSystem(bool /*system*/) {}

  // Refreshes the inventory and the page's controls.
  void Refresh();
  // Enables the inputs and the start button and disables cancel (`unlocked`),
  // or the reverse.
  void SetControls(bool unlocked);
  void Notice(const std::string& id, const std::string& text);
  // Runs the course of `task` (its `shown` is the page's inventory).
  void RunCourse(tasks::TaskDescription task);

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
  void StepStarted(const std::string& step);
  void Waiting(const std::string& step, const std::string& text);
  void Ended(const tasks::CourseEnd& end);
  void Cancel();
  void ProgressStep();
  // The end of the task: the text in the progress text, the controls, the
  // phase, and the dialog (success or failure).
  void EndTask(const std::string& text, bool succeeded);

  std::unique_ptr<PageCourse> course_;
  ProgressControls progress_;
  std::optional<tasks::ProgressTracker> tracker_;
  std::string lastText_;
};

}  // namespace stow::ui
