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
  kChecked,   // Check: every rule passed; ask the question
  kPrepared,  // Prepare: the destination is formatted; start the engine
  kStarted,   // Begin or Start: the engine runs; follow it, then call End
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

// One copy or restore from its rules to its end, as separate steps for a
// front end that runs them where it must (a page: the rules and the question
// on its own thread, the preparation on a worker, the start back on its own
// thread): CheckChoice, Check, Notice and Question, Prepare, Start, End.
// Begin runs the steps up to the start in order with a driver, Run adds the
// driver's Follow and End.
class DestinationCourse {
 public:
  virtual ~DestinationCourse() = default;

  // The rules on the choice as given, before any volume is looked at: a task
  // already running, a missing or repeated volume, an image that is no image.
  // No refusal: the front end may add its own rules on the choice (has the
  // inventory changed?) before Check.
  Refusal CheckChoice(const engine::TaskState& state, const std::string& first,
                      const std::string& destination);
  // Every rule, CheckChoice's included, in order (the destination's lock taken
  // and held by the course until it ends or is dropped): kChecked or kRefused.
  CourseResult Check(engine::TaskState& state, const std::string& first,
                     const std::string& destination, const CourseOptions& options);
  // After Check: the warning to show before the question (empty: none), and
  // the question.
  std::string Notice() const { return NoticeText(); }
  std::string Question() const { return ConfirmText(); }
  // After the question was answered yes: formats the destination. Blocks until
  // the format program has ended and the volume is checked; touches only the
  // course, so it may run on a worker thread. kPrepared or kRefused.
  CourseResult Prepare();
  // After Prepare: starts the engine. kStarted or kRefused.
  CourseResult Start(engine::TaskState& state);
  // After Check: what the chain after a successful task is given.
  virtual PostTaskRequest Request() const = 0;
  // Lets go of the volumes Check locked, for a course that will not go on (the
  // question was declined, a front end's own rule refused). A started course
  // keeps them until it is destroyed, after End.
  void Drop() { DropLocks(); }

  // Check, the notice, the question, Prepare and Start, in this order; ends at
  // the first step that does not go on.
  CourseResult Begin(engine::TaskState& state, const std::string& first,
                     const std::string& destination, const CourseOptions& options,
                     CourseDriver& driver);
  // The end of a task Begin started, whose engine finished with `code`: the
  // chain after success, the reformat after a failure, the texts, and the
  // engine's account of what failed where.
  CourseResult End(engine::TaskState& state, engine::TaskError code, const PostTaskChain& chain);
  // Begin, the driver's Follow and End.
  CourseResult Run(engine::TaskState& state, const std::string& first,
                   const std::string& destination, const CourseOptions& options,
                   CourseDriver& driver);

 protected:
  // The task's own steps (see CopyTask.h and RestoreTask.h).
  virtual Refusal CheckTaskChoice(const engine::TaskState& state, const std::string& first,
                                  const std::string& destination) = 0;
  virtual Refusal CheckTask(engine::TaskState& state, const std::string& first,
                            const std::string& destination) = 0;
  virtual void SetVerify(bool enabled) = 0;
  virtual std::string NoticeText() const { return {}; }
  virtual std::string ConfirmText() const = 0;
  virtual Refusal PrepareTask() = 0;
  virtual Refusal StartTask(engine::TaskState& state) = 0;
  virtual TaskOutcome Finish(engine::TaskError code, const PostTaskChain& chain) = 0;
  virtual void DropLocks() = 0;
};

// Restores an image (first) onto a destination.
class RestoreCourse final : public DestinationCourse {
 public:
  const RestorePlan& Plan() const { return plan_; }
  PostTaskRequest Request() const override { return RestoreRequest(plan_); }

 protected:
  // CheckRestoreChoice.
  Refusal CheckTaskChoice(const engine::TaskState& state, const std::string& first,
                          const std::string& destination) override;
  // CheckRestore, CheckRestoreImage, CheckRestoreChecksums.
  Refusal CheckTask(engine::TaskState& state, const std::string& first,
                    const std::string& destination) override;
  void SetVerify(bool enabled) override { plan_.verify.enabled = enabled; }
  std::string NoticeText() const override;
  std::string ConfirmText() const override;
  Refusal PrepareTask() override;
  Refusal StartTask(engine::TaskState& state) override;
  TaskOutcome Finish(engine::TaskError code, const PostTaskChain& chain) override;
  void DropLocks() override { plan_.lock.reset(); }

 private:
  RestorePlan plan_;
};

// Copies a source volume (first) onto a destination.
class CopyCourse final : public DestinationCourse {
 public:
  const CopyPlan& Plan() const { return plan_; }
  PostTaskRequest Request() const override { return CopyRequest(plan_); }

 protected:
  // CheckCopyChoice.
  Refusal CheckTaskChoice(const engine::TaskState& state, const std::string& first,
                          const std::string& destination) override;
  // CheckCopy, CheckCopySource.
  Refusal CheckTask(engine::TaskState& state, const std::string& first,
                    const std::string& destination) override;
  void SetVerify(bool enabled) override { plan_.verify.enabled = enabled; }
  std::string ConfirmText() const override;
  Refusal PrepareTask() override;
  Refusal StartTask(engine::TaskState& state) override;
  TaskOutcome Finish(engine::TaskError code, const PostTaskChain& chain) override;
  void DropLocks() override {
    plan_.sourceLock.reset();
    plan_.destinationLock.reset();
  }

 private:
  CopyPlan plan_;
};

}  // namespace stow::tasks
