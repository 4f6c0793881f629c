// A step that blocks for a while (splitting a partition with the batch, the
// quick format of a destination) run off the UI thread: the page is locked and
// shows a waiting text while a worker thread runs the step; when it ends, the
// page is unlocked and the controller continues on the UI thread, through the
// notify centre's delivery, in order with the worker events.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ui/framework/NotifyCenter.h"
#include "ui/framework/Page.h"

namespace stow::ui {

class BlockingStep {
 public:
  explicit BlockingStep(NotifyCenter& notify) : notify_(notify) {}
  // Waits for a step still running; its continuation is dropped.
  ~BlockingStep();
  BlockingStep(const BlockingStep&) = delete;
  BlockingStep& operator=(const BlockingStep&) = delete;

  // UI thread. Locks `page`, shows `waitingText` in its control `textControl`
  // (when the page has it) and runs `work` on a worker thread. When the work
  // has ended, the UI thread unlocks the page and calls `done` with its result.
  // Refused (false, nothing done) while a step of this object runs.
  bool Start(Page& page, const std::string& textControl, const std::string& waitingText,
             std::function<int()> work, std::function<void(int result)> done);
  // From Start until just before `done` is called.
  bool Running() const;

 private:
  struct Run;
  NotifyCenter& notify_;
  std::shared_ptr<Run> run_;
};

}  // namespace stow::ui
