#include "tasks/BackupCourse.h"

#include "platform/VolumeId.h"

namespace stow::tasks {

bool BackupCourse::Prepare(const std::string& source, const std::string& image,
                           const BackupOptions& options, std::string& why) {
  BackupSource checked;
  if (CheckBackupSource(platform::VolumeId(source), checked, why) != kBackupCheckOk) return false;
  if (PlanBackup(checked, image, Today(), plan_, why) != kBackupCheckOk) return false;
  plan_.checksums = options.checksums;
  verify_ = options.verify;
  return true;
}

BackupResult BackupCourse::Begin(engine::TaskState& state, const std::string& source,
                                 const std::string& image, const BackupOptions& options,
                                 BackupDriver& driver) {
  BackupResult result;
  if (!Prepare(source, image, options, result.why)) return result;
  return ConfirmAndStart(state, driver);
}

BackupResult BackupCourse::ConfirmAndStart(engine::TaskState& state, BackupDriver& driver) {
  BackupResult result;
  if (!driver.Confirm(ConfirmBackupText(plan_))) {
    result.end = BackupEnd::kDeclined;
    return result;
  }
  driver.Committed();
  result.startResult = StartBackupTask(state, plan_);
  result.end =
      result.startResult == engine::kStartOk ? BackupEnd::kStarted : BackupEnd::kNotStarted;
  return result;
}

BackupResult BackupCourse::End(engine::TaskState& state, engine::TaskError code,
                               BackupDriver& driver) {
  BackupResult result;
  result.code = code;
  result.text = BackupResultText(code);
  if (code != engine::TaskError::kSuccess) {
    result.end = BackupEnd::kFailed;
    result.detail = state.ErrorDetail();
    return result;
  }
  result.end = BackupEnd::kDone;
  if (verify_) {
    result.verification = VerifyBackupImage(plan_, driver.VerifyProgress());
    driver.VerifyEnded();
    if (!result.verification.ok) {
      result.end = driver.StopRequested() ? BackupEnd::kVerifyStopped : BackupEnd::kVerifyFailed;
    }
  }
  return result;
}

BackupResult BackupCourse::Run(engine::TaskState& state, const std::string& source,
                               const std::string& image, const BackupOptions& options,
                               BackupDriver& driver) {
  BackupResult begun = Begin(state, source, image, options, driver);
  if (begun.end != BackupEnd::kStarted) return begun;
  return End(state, driver.Follow(state), driver);
}

}  // namespace stow::tasks
