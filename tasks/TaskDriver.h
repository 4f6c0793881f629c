// What the course of every task asks of the front end that drives it: the
// question, the moment the user is committed, a stop asked for before the
// engine starts, and following the running engine.
#pragma once

#include <string>

#include "engine/transfer/TaskState.h"

namespace stow::tasks {

class TaskDriver {
 public:
  virtual ~TaskDriver() = default;
  // Asks `question` (what the task does and what it overwrites); true goes on.
  virtual bool Confirm(const std::string& question) = 0;
  // The question was answered yes: the task writes from now on (a front end
  // starts listening for the user's stop here).
  virtual void Committed() {}
  // The user asked to stop before the engine started, or during a check the
  // course runs itself.
  virtual bool StopRequested() { return false; }
  // Follows the started task until the engine has finished and its workers
  // have ended; returns how the task ended. The courses' Run calls it;
  // a front end that follows the task by its own means (a timer) calls Begin
  // and End instead.
  [[nodiscard]] virtual engine::TaskError Follow(engine::TaskState& state) = 0;
};

}  // namespace stow::tasks
