// A task as one list of named steps, built once here for every front end.
//
// A course is what a copy, backup or restore does from its checks to its end:
// "check", "split", "format", "transfer", "read-back", "disk check",
// "registry", "boot files", "activation" (each task kind has its own list;
// Courses.h builds them from the task's description). The steps run in order
// on one thread; the first that does not succeed ends the course, and its
// status says what happened and what it leaves behind.
//
// The front end (the command line, a page of the window, a test) only shows
// and answers: the questions a step needs, the warnings, which step runs and
// its progress. Its answer to a progress report can stop the task.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/Status.h"
#include "engine/core/TaskError.h"
#include "engine/transfer/TaskState.h"

namespace stow::tasks {

// How a step (and so a course) ended. The numbers are not shown anywhere: the
// command line's exit statuses come from its own table.
enum class StepCode : int {
  kOk = 0,
  kRefused = 1,          // a rule refused the task; nothing was written
  kDeclined = 2,         // a question was answered no; nothing more was written
  kStopped = 3,          // the user stopped the task
  kEngineFailed = 4,     // the engine's transfer or read-back failed: `error`
  kDiskCheckFailed = 5,  // the checker did not run or found the volume damaged
  kNotReopened = 6,      // the destination could not be opened again after its check
  kRepairFailed = 7,     // the boot files, stores or active flag are not in place
  kImageNotVerified = 8, // a backup's image read back is not what was written
};

// What a step gives: its code with the detail that names what failed where,
// the string-table id and text of the message a front end shows, the engine's
// error where the engine ended it, and what the failure leaves behind.
struct StepStatus {
  Status<StepCode> status;
  std::string id;    // the message's string-table id; may be empty
  std::string text;  // the message as shown
  engine::TaskError error = engine::TaskError::kNone;
  std::string leftBehind;  // empty: the step's own `leaves`

  [[nodiscard]] bool Ok() const { return status.Ok(); }
  [[nodiscard]] StepCode Code() const { return status.code(); }
  [[nodiscard]] const std::string& Detail() const { return status.Detail(); }
};

// A failure with `code`, the text of `id` filled with `args`, and a detail.
StepStatus StepFailed(StepCode code, const std::string& id,
                      const std::vector<std::string>& args = {}, std::string detail = {});

// What a running step reports: the engine's figures while it moves or reads
// back data, else the waiting text of a step that cannot count ("Checking
// disk, please wait..." with its dots).
struct StepProgress {
  bool figures = false;
  engine::TaskProgress progress;
  std::string waiting;
};

struct Step;

// The front end's side of a course. Ask, Tell and Progress are called on the
// course's thread; a window hands them to its own thread and waits.
class TaskFrontEnd {
 public:
  virtual ~TaskFrontEnd() = default;
  // A question: `id` is its string-table entry, `text` the question as shown.
  // True goes on.
  [[nodiscard]] virtual bool Ask(const std::string& id, const std::string& text) = 0;
  // A warning shown before the course goes on.
  virtual void Tell(const std::string& id, const std::string& text) = 0;
  virtual void StepStarted(const Step& /*step*/) {}
  // The progress of the running step, about ten times a second. False stops
  // the task (a step that cannot be stopped safely goes on).
  [[nodiscard]] virtual bool Progress(const StepProgress& progress) = 0;
  virtual void StepEnded(const Step& /*step*/, const StepStatus& /*status*/) {}
};

struct CourseState;

struct Step {
  std::string name;
  // What the failure of this step leaves behind, unless its status says more.
  std::string leaves;
  // The waiting text's string-table id while it runs; empty for a step that
  // shows figures or is quick.
  std::string waitingId;
  std::function<StepStatus(CourseState&)> run;
};

// How a course ended: the status of the step that ended it (a success when
// every step succeeded), that step's name, the text to show for a success,
// and a notice to show before it.
struct CourseEnd {
  StepStatus status;
  std::string step;
  std::string successText;
  std::string notice;

  [[nodiscard]] bool Ok() const { return status.Ok(); }
};

class Course {
 public:
  Course(std::unique_ptr<CourseState> working, std::vector<Step> steps);
  ~Course();
  Course(const Course&) = delete;
  Course& operator=(const Course&) = delete;

  const std::vector<Step>& Steps() const { return steps_; }
  // The names of the steps, in order.
  std::vector<std::string> StepNames() const;

  // Runs the steps in order with `frontEnd` until one does not succeed; the
  // step's name is written to the log as it starts and ends.
  CourseEnd Run(TaskFrontEnd& frontEnd);

  // The course's working state (the plans, the locks, the inventory) for the
  // steps and for tests.
  CourseState& Working() { return *working_; }
  const CourseState& Working() const { return *working_; }

 private:
  std::unique_ptr<CourseState> working_;
  std::vector<Step> steps_;
};

}  // namespace stow::tasks
