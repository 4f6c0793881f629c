// The controller of the backup page ("page_backup"): the list of volumes, the
// image path with its save dialog, the ordered rules of the start, the backup
// itself through the same course as every front end (tasks/Courses.h) run by
// a PageCourse, the progress step each second, cancel, and the result dialog.
//
// The page's clicks, timer ticks and the course's calls run on the UI thread;
// the course runs on a thread of its own.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "discovery/PartitionInfo.h"
#include "engine/transfer/TaskState.h"
#include "tasks/Course.h"
#include "tasks/ProgressStep.h"
#include "ui/framework/PartitionListAdapter.h"
#include "ui/framework/UiHost.h"
#include "ui/pages/PageCourse.h"
#include "ui/pages/PageInputs.h"
#include "ui/pages/PageProgress.h"
#include "ui/pages/TaskPhase.h"

namespace stow::ui {

// The message id of a refusal the backup's own checks give (the source or the
// image path is not usable); its text says why.
inline constexpr const char* kBackupRefusedId = "backupRefused";

class CBackupHandler {
 public:
  static constexpr const char* kPageName = "page_backup";
  static constexpr const char* kListView = "disk_list_view_backup";
  static constexpr const char* kPathEdit = "edit_backup_path";
  static constexpr const char* kSelectPathButton = "btn_sel_backup_path";
  static constexpr const char* kStartButton = "btn_start_backup";
  static constexpr const char* kCancelButton = "btn_cancel_backup";
  static constexpr int kProgressTimer = 0;

  CBackupHandler(UiHost& host, TaskPhase& phase, engine::TaskState& state,
                 VolumeSource volumes = VolumeSource::System());
  ~CBackupHandler();
  CBackupHandler(const CBackupHandler&) = delete;
  CBackupHandler& operator=(const CBackupHandler&) = delete;

  // Finds the page and its controls, takes its events and fills it; false when
  // the window has no backup page.
  bool Init();

  // The worker-event handler the window registers with the notify centre, in
  // its place after the copy page: takes the events of this page.
  bool OnEvent(const EventThread& event);

  // What the page shows, for the window and the tests.
  const discovery::PartitionList& Volumes() const { return volumes_; }
  // The source's checks run (on the course's thread, with the page locked).
  bool Checking() const;
  // A backup of this page runs (or its end has not reached the page yet).
  bool CourseRunning() const { return course_ != nullptr; }
  // How the last backup this page started ended.
  const std::optional<tasks::CourseEnd>& LastResult() const { return lastResult_; }

 private:

  void Refresh();
  void SetControls(bool unlocked);
  void OnCommand(const std::string& control);
  void OnTimer(int timerId);
  void ChoosePath();
  void Start();
  void StepStarted(const std::string& step);
  void Ended(const tasks::CourseEnd& end);
  void Cancel();
  void ProgressStep();
  void Notice(const std::string& id);

  UiHost& host_;
  TaskPhase& phase_;
  engine::TaskState& state_;
  VolumeSource source_;
  Page* page_ = nullptr;
  discovery::PartitionList volumes_;
  std::shared_ptr<PartitionListAdapter> adapter_;
  ProgressControls progress_ = ProgressControlsFor("backup");
  std::optional<tasks::ProgressTracker> tracker_;
  std::optional<tasks::CourseEnd> lastResult_;
  std::string shownText_;  // the progress text before the checks' waiting text
  // Last: it waits for the course's thread before the rest goes.
  std::unique_ptr<PageCourse> course_;
};

}  // namespace stow::ui
