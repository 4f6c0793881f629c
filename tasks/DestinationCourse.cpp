#include "tasks/DestinationCourse.h"

#include <utility>

namespace stow::tasks {
namespace {

CourseResult Ended(CourseEnd end, Refusal refusal = {}) {
  CourseResult result;
  result.end = end;
  result.refusal = std::move(refusal);
  return result;
}

}  // namespace

PostTaskChain NoPostTaskChain() {
  return [](const PostTaskRequest&) { return PostTaskResult{}; };
}

Refusal DestinationCourse::CheckChoice(const engine::TaskState& state, const std::string& first,
                                       const std::string& destination) {
  return CheckTaskChoice(state, first, destination);
}

CourseResult DestinationCourse::Check(engine::TaskState& state, const std::string& first,
                                      const std::string& destination,
                                      const CourseOptions& options) {
  if (Refusal r = CheckTask(state, first, destination); r.Refused()) {
    return Ended(CourseEnd::kRefused, std::move(r));
  }
  SetVerify(options.verify);
  return Ended(CourseEnd::kChecked);
}

CourseResult DestinationCourse::Prepare() {
  if (Refusal r = PrepareTask(); r.Refused()) return Ended(CourseEnd::kRefused, std::move(r));
  return Ended(CourseEnd::kPrepared);
}

CourseResult DestinationCourse::Start(engine::TaskState& state) {
  if (Refusal r = StartTask(state); r.Refused()) return Ended(CourseEnd::kRefused, std::move(r));
  return Ended(CourseEnd::kStarted);
}

CourseResult DestinationCourse::Begin(engine::TaskState& state, const std::string& first,
                                      const std::string& destination, const CourseOptions& options,
                                      CourseDriver& driver) {
  if (CourseResult checked = Check(state, first, destination, options);
      checked.end != CourseEnd::kChecked) {
    return checked;
  }
  if (const std::string notice = Notice(); !notice.empty()) driver.Notice(notice);
  if (!driver.Confirm(Question())) {
    Drop();
    return Ended(CourseEnd::kDeclined);
  }
  driver.Committed();
  if (CourseResult prepared = Prepare(); prepared.end != CourseEnd::kPrepared) return prepared;
  if (driver.StopRequested()) return Ended(CourseEnd::kStopped);
  return Start(state);
}

CourseResult DestinationCourse::End(engine::TaskState& state, engine::TaskError code,
                                    const PostTaskChain& chain) {
  CourseResult result = Ended(CourseEnd::kFinished);
  result.outcome = Finish(code, chain);
  if (code != engine::TaskError::kSuccess) result.outcome.detail = state.ErrorDetail();
  return result;
}

CourseResult DestinationCourse::Run(engine::TaskState& state, const std::string& first,
                                    const std::string& destination, const CourseOptions& options,
                                    CourseDriver& driver) {
  CourseResult begun = Begin(state, first, destination, options, driver);
  if (begun.end != CourseEnd::kStarted) return begun;
  const engine::TaskError code = driver.Follow(state);
  return End(state, code, driver.RepairChain());
}

// --- Restore -------------------------------------------------------------------

Refusal RestoreCourse::CheckTaskChoice(const engine::TaskState& state, const std::string& first,
                                       const std::string& /*destination*/) {
  return CheckRestoreChoice(state, first);
}

Refusal RestoreCourse::CheckTask(engine::TaskState& state, const std::string& first,
                                 const std::string& destination) {
  Refusal r = CheckRestore(state, first, destination, plan_);
  if (!r.Refused()) r = CheckRestoreImage(plan_);
  return r.Refused() ? r : CheckRestoreChecksums(plan_);
}

std::string RestoreCourse::NoticeText() const { return NoChecksumNotice(plan_); }

std::string RestoreCourse::ConfirmText() const { return ConfirmRestoreText(plan_); }

Refusal RestoreCourse::PrepareTask() { return PrepareRestore(plan_); }

Refusal RestoreCourse::StartTask(engine::TaskState& state) {
  return StartRestoreTask(state, plan_);
}

TaskOutcome RestoreCourse::Finish(engine::TaskError code, const PostTaskChain& chain) {
  return FinishRestore(plan_, code, chain);
}

// --- Copy ----------------------------------------------------------------------

Refusal CopyCourse::CheckTaskChoice(const engine::TaskState& state, const std::string& first,
                                    const std::string& destination) {
  return CheckCopyChoice(state, first, destination);
}

Refusal CopyCourse::CheckTask(engine::TaskState& state, const std::string& first,
                              const std::string& destination) {
  Refusal r = CheckCopy(state, first, destination, plan_);
  return r.Refused() ? r : CheckCopySource(plan_);
}

std::string CopyCourse::ConfirmText() const { return ConfirmCopyText(plan_); }

Refusal CopyCourse::PrepareTask() { return PrepareCopy(plan_); }

Refusal CopyCourse::StartTask(engine::TaskState& state) { return StartCopyTask(state, plan_); }

TaskOutcome CopyCourse::Finish(engine::TaskError code, const PostTaskChain& chain) {
  return FinishCopy(plan_, code, chain);
}

}  // namespace stow::tasks
