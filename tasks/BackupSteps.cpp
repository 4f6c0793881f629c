// The steps of a backup: the checks of the source and the image's plan, the
// question with the transfer, and the read-back of the finished image.
#include "platform/VolumeId.h"
#include "support/Format.h"
#include "support/StringTable.h"
#include "tasks/CourseSteps.h"
#include "tasks/DestinationChoice.h"

namespace stow::tasks {

namespace {

// The message id of a refusal the source's checks and the image's plan give;
// their text says why.
constexpr const char* kBackupRefusedId = "backupRefused";

// A page's rules on its own choice: the inventory it showed has not changed,
// the source is one of its volumes, the path can name a file. The volume to
// read, or why not.
StepStatus CheckShownChoice(const CourseState& course, platform::VolumeId& volume) {
  const TaskDescription& task = course.description;
  if (!task.shown) {
    volume = platform::VolumeId(task.source);
    return {};
  }
  if (StepStatus same = CheckShown(course); !same.Ok()) return same;
  const discovery::PartitionInfo* record =
      task.source.empty() ? nullptr : FindPartition(*task.shown, task.source);
  if (record == nullptr) return StepFailed(StepCode::kRefused, "getpartitionerror");
  // A path this short ("D:\\") names no file.
  if (task.image.size() <= kShortestImagePath) {
    return StepFailed(StepCode::kRefused, "setBackupPath");
  }
  volume = record->Volume();
  return {};
}

}  // namespace

StepStatus CheckBackupStep(CourseState& course) {
  const TaskDescription& task = course.description;
  if (EngineTaskRunning(course.state)) {
    return StepFailed(StepCode::kRefused, "backupThreadIsRunning");
  }
  platform::VolumeId volume;
  if (StepStatus chosen = CheckShownChoice(course, volume); !chosen.Ok()) return chosen;
  // The source's whole $MFT is read: that takes a while on a large volume.
  static_cast<void>(course.Progress({false, {}, LoadText("waitingCheckSource")}));
  std::string why;
  BackupSource source;
  if (CheckBackupSource(volume, source, why) != kBackupCheckOk) {
    StepStatus refused = StepFailed(StepCode::kRefused, kBackupRefusedId);
    refused.text = why;
    return refused;
  }
  course.backup = {};
  if (PlanBackup(source, task.image, course.parts.date ? *course.parts.date : Today(),
                 course.backup, why) != kBackupCheckOk) {
    StepStatus refused = StepFailed(StepCode::kRefused, kBackupRefusedId);
    refused.text = why;
    return refused;
  }
  course.backup.checksums = task.checksums;
  course.backup.beforeVerify = course.parts.beforeImageVerify;
  return {};
}

StepStatus BackupTransferStep(CourseState& course) {
  if (!course.Ask("confirmBackup", ConfirmBackupText(course.backup))) {
    course.backup.source.lock.reset();
    return StepFailed(StepCode::kDeclined, "confirmBackup");
  }
  if (!course.Progress({true, {}, {}})) return StepFailed(StepCode::kStopped, "errorManualStop");
  const engine::StartResult started = StartBackupTask(course.state, course.backup);
  if (started != engine::kStartOk) {
    return StepFailed(StepCode::kRefused, "runTaskError", {std::to_string(ToInt(started))});
  }
  StepStatus followed = FollowEngine(course, false);
  if (followed.Ok()) course.successText = BackupResultText(engine::TaskError::kSuccess);
  return followed;
}

StepStatus ImageReadBackStep(CourseState& course) {
  bool stopped = false;
  const BackupVerification verified =
      VerifyBackupImage(course.backup, [&](uint64_t done, uint64_t total) {
        engine::TaskProgress progress;
        progress.totalBytes = total;
        progress.copiedBytes = done;
        progress.phase = engine::TaskPhase::kVerify;
        progress.errorCode = engine::TaskError::kRunning;
        if (!course.Progress({true, progress, {}})) stopped = true;
        return !stopped;
      });
  if (verified.ok) return {};
  StepStatus failed = StepFailed(stopped ? StepCode::kStopped : StepCode::kImageNotVerified, "",
                                 {}, verified.text);
  failed.error = stopped ? engine::TaskError::kManualStop : engine::TaskError::kImageDamaged;
  failed.leftBehind = "The image " + course.backup.imagePath +
                      (stopped ? " is complete but was not verified."
                               : " is kept but must not be trusted.");
  return failed;
}

}  // namespace stow::tasks
