// The task phase: which task, or which step after it, runs in the process.
// The three pages share it; any phase but idle makes every page refuse to
// start, and the window waits for idle before it closes.
#pragma once

#include <atomic>

namespace stow::ui {

enum class Phase : int {
  kIdle = 0,
  kCopy = 1,
  kBackup = 2,
  kRestore = 3,
  kDiskCheck = 4,
  kBootRepair = 5,
};

class TaskPhase {
 public:
  Phase Get() const { return phase_.load(); }
  void Set(Phase phase) { phase_.store(phase); }
  bool IsIdle() const { return Get() == Phase::kIdle; }

 private:
  std::atomic<Phase> phase_{Phase::kIdle};
};

// The one phase of the process, shared by the pages of the window.
TaskPhase& ProcessTaskPhase();

}  // namespace stow::ui
