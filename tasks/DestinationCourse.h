// The course of a task that overwrites a destination volume (copy, restore),
// the same for every front end: the rules, the warning before the question,
// the question, the format, the engine start, following the task, and its end
// with the disk check and the boot repair. The front end drives it: it answers
// the question, shows the warnings, follows the running task (the command line
// in a loop, a page from its timer) and supplies the chain after success.
#pragma once

#include <string>

#include "engine/transfer/TaskState.h"
#include "tasks/CopyTask.h"
#include "tasks/DestinationTask.h"
#include "tasks/RestoreTask.h"
#include "tasks/TaskDriver.h"

namespace stow::tasks {

// What a front end does for a copy or restore besides what every task asks.
class CourseDriver : public TaskDriver {
 public:
  // A warning shown before the question (the image has no checksum file).
  virtual void Notice(const std::string& text) = 0;
  // The chain run after the engine succeeded (NoPostTaskChain: none). Used by
  // Run only.
  virtual PostTaskChain RepairChain() = 0;
};

// The chain that does nothing, for a course run without the repair.
PostTaskChain NoPostTaskChain();

// Where a course stopped.
enum class CourseEnd {
  kRefused,   // a rule, the format or the engine start refused it: `refusal`
  kDeclined,  // the question was answered no: nothing was written
  kStopped,   // the user stopped it after the question, before the engine started
  kStarted,   // Begin: the engine runs; follow it, then call End
  kFinished,  // End or Run: the engine finished; `outcome` says how
};

struct CourseResult {
  CourseEnd end = CourseEnd::kRefused;
  Refusal refusal;
  TaskOutcome outcome;
};

struct CourseOptions {
  bool verify = false;  // read back what was written before the task counts as done
};

// One copy or restore from its rules to its end. Begin and End serve a front
// end that follows the task by its own means; Run does all three with
// the driver's Follow in between.
class DestinationCourse {
 public:
  virtual ~DestinationCourse() = default;

  // The rules (the destination's lock taken), the notice, the question, the
  // format and the engine start, in this order; ends at the first step that
  // does not go on.
  CourseResult Begin(engine::TaskState& state, const std::string& first,
                     const std::string& destination, const CourseOptions& options,
                     CourseDriver& driver);
  // The end of a task Begin started, whose engine finished with `code`: the
  // chain after success, the reformat after a failure, the texts, and the
  // engine's account of what failed where.
  CourseResult End(engine::TaskState& state, int code, const PostTaskChain& chain);
  // Begin, the driver's Follow and End.
  CourseResult Run(engine::TaskState& state, const std::string& first,
                   const std::string& destination, const CourseOptions& options,
                   CourseDriver& driver);

 protected:
  // The task's own steps (see CopyTask.h and RestoreTask.h).
  virtual Refusal Check(engine::TaskState& state, const std::string& first,
                        const std::string& destination) = 0;
  virtual void SetVerify(bool enabled) = 0;
  virtual std::string Notice() const { return {}; }
  virtual std::string ConfirmText() const = 0;
  virtual Refusal Prepare() = 0;
  virtual Refusal Start(engine::TaskState& state) = 0;
  virtual TaskOutcome Finish(int code, const PostTaskChain& chain) = 0;
};

// Restores an image (first) onto a destination.
class RestoreCourse final : public DestinationCourse {
 public:
  const RestorePlan& Plan() const { return plan_; }

 protected:
  // CheckRestore, CheckRestoreImage, CheckRestoreChecksums.
  Refusal Check(engine::TaskState& state, const std::string& first,
                const std::string& destination) override;
  void SetVerify(bool enabled) override { plan_.verify.enabled = enabled; }
  std::string Notice() const override;
  std::string ConfirmText() const override;
  Refusal Prepare() override;
  Refusal Start(engine::TaskState& state) override;
  TaskOutcome Finish(int code, const PostTaskChain& chain) override;

 private:
  RestorePlan plan_;
};

// Copies a source volume (first) onto a destination.
class CopyCourse final : public DestinationCourse {
 public:
  const CopyPlan& Plan() const { return plan_; }

 protected:
  // CheckCopy, CheckCopySource.
  Refusal Check(engine::TaskState& state, const std::string& first,
                const std::string& destination) override;
  void SetVerify(bool enabled) override { plan_.verify.enabled = enabled; }
  std::string ConfirmText() const override;
  Refusal Prepare() override;
  Refusal Start(engine::TaskState& state) override;
  TaskOutcome Finish(int code, const PostTaskChain& chain) override;

 private:
  CopyPlan plan_;
};

}  // namespace stow::tasks
