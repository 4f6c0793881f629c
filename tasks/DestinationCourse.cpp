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

CourseResult DestinationCourse::Begin(engine::TaskState& state, const std::string& first,
                                      const std::string& destination, const CourseOptions& options,
                                      CourseDriver& driver) {
  if (Refusal r = Check(state, first, destination); r.Refused()) {
    return Ended(CourseEnd::kRefused, std::move(r));
  }
  SetVerify(options.verify);
  if (const std::string notice = Notice(); !notice.empty()) driver.Notice(notice);
  if (!driver.Confirm(ConfirmText())) return Ended(CourseEnd::kDeclined);
  driver.Committed();
  if (Refusal r = Prepare(); r.Refused()) return Ended(CourseEnd::kRefused, std::move(r));
  if (driver.StopRequested()) return Ended(CourseEnd::kStopped);
  if (Refusal r = Start(state); r.Refused()) return Ended(CourseEnd::kRefused, std::move(r));
  return Ended(CourseEnd::kStarted);
}

CourseResult DestinationCourse::End(engine::TaskState& state, int code,
                                    const PostTaskChain& chain) {
  CourseResult result = Ended(CourseEnd::kFinished);
  result.outcome = Finish(code, chain);
  if (code != engine::kTaskSuccess) result.outcome.detail = state.ErrorDetail();
  return result;
}

CourseResult DestinationCourse::Run(engine::TaskState& state, const std::string& first,
                                    const std::string& destination, const CourseOptions& options,
                                    CourseDriver& driver) {
  CourseResult begun = Begin(state, first, destination, options, driver);
  if (begun.end != CourseEnd::kStarted) return begun;
  const int code = driver.Follow(state);
  return End(state, code, driver.RepairChain());
}

// --- Restore -------------------------------------------------------------------

Refusal RestoreCourse::Check(engine::TaskState& state, const std::string& first,
                             const std::string& destination) {
  Refusal r = CheckRestore(state, first, destination, plan_);
  if (!r.Refused()) r = CheckRestoreImage(plan_);
  return r.Refused() ? r : CheckRestoreChecksums(plan_);
}

std::string RestoreCourse::Notice() const { return NoChecksumNotice(plan_); }

std::string RestoreCourse::ConfirmText() const { return ConfirmRestoreText(plan_); }

Refusal RestoreCourse::Prepare() { return PrepareRestore(plan_); }

Refusal RestoreCourse::Start(engine::TaskState& state) { return StartRestoreTask(state, plan_); }

TaskOutcome RestoreCourse::Finish(int code, const PostTaskChain& chain) {
  return FinishRestore(plan_, code, chain);
}

// --- Copy ----------------------------------------------------------------------

Refusal CopyCourse::Check(engine::TaskState& state, const std::string& first,
                          const std::string& destination) {
  Refusal r = CheckCopy(state, first, destination, plan_);
  return r.Refused() ? r : CheckCopySource(plan_);
}

std::string CopyCourse::ConfirmText() const { return ConfirmCopyText(plan_); }

Refusal CopyCourse::Prepare() { return PrepareCopy(plan_); }

Refusal CopyCourse::Start(engine::TaskState& state) { return StartCopyTask(state, plan_); }

TaskOutcome CopyCourse::Finish(int code, const PostTaskChain& chain) {
  return FinishCopy(plan_, code, chain);
}

}  // namespace stow::tasks
