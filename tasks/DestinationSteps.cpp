// The steps of a copy and a restore up to the end of the engine: the checks,
// the split of an EFI system partition, the question and the format, the
// transfer and the read-back.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "bootrepair/WindowsVolume.h"
#include "support/Format.h"
#include "support/Log.h"
#include "support/StringTable.h"
#include "tasks/CourseSteps.h"
#include "tasks/DestinationChoice.h"
#include "tasks/RepairSteps.h"

namespace stow::tasks {

StepStatus CheckShown(const CourseState& course) {
  if (!course.description.shown) return {};
  discovery::PartitionList now;
  if (course.parts.enumerate) course.parts.enumerate(now);
  if (PartitionListChanged(*course.description.shown, now)) {
    return StepFailed(StepCode::kRefused, "partitionInfoHaveChanged");
  }
  return {};
}

StepStatus Refused(const Refusal& refusal) {
  StepStatus status;
  status.status = Status<StepCode>(StepCode::kRefused);
  status.id = refusal.id;
  status.text = refusal.text;
  return status;
}

namespace {

bool IsCopy(const CourseState& course) {
  return course.description.kind == engine::TaskKind::kCopy;
}

const platform::VolumeId& Destination(const CourseState& course) {
  return IsCopy(course) ? course.copy.destination.volume : course.restore.destination.volume;
}

// The rules on the destination as the inventory knows it, after the task's own
// rules: a page's choice made on an inventory that has changed since, a
// destination that cannot start a system (asked), a system copy onto the
// running system's disk.
StepStatus CheckInventory(CourseState& course) {
  const TaskDescription& task = course.description;
  course.volumes.clear();
  if (course.parts.inventory) course.parts.inventory(course.volumes);
  course.target.reset();
  if (const discovery::PartitionInfo* found = FindVolume(course.volumes, task.destination)) {
    course.target = *found;
  }
  course.noBoot = false;
  if (task.shown && !course.target) return StepFailed(StepCode::kRefused, "getpartitionerror");
  const bool cannotBoot = course.target ? CannotBoot(*course.target) : course.system;
  if (cannotBoot) {
    if (!course.Ask("cannotAsSystem")) return StepFailed(StepCode::kDeclined, "cannotAsSystem");
    course.noBoot = true;
  }
  if (IsCopy(course) && course.system && !course.noBoot && course.target &&
      OnRunningSystemDisk(course.volumes, *course.target)) {
    return StepFailed(StepCode::kRefused, "copySysCanNotCurSysDisk");
  }
  return {};
}

void DropLocks(CourseState& course) {
  course.copy.sourceLock.reset();
  course.copy.destinationLock.reset();
  course.restore.lock.reset();
}

// The copy's rules; `shown`: with the check that the page's inventory is as
// it was (not after a split, which changed it).
StepStatus CheckCopyRules(CourseState& course, bool shown) {
  const TaskDescription& task = course.description;
  if (Refusal r = CheckCopyChoice(course.state, task.source, task.destination); r.Refused()) {
    return Refused(r);
  }
  if (StepStatus same = shown ? CheckShown(course) : StepStatus{}; !same.Ok()) return same;
  course.copy = {};
  if (Refusal r = CheckCopy(course.state, task.source, task.destination, course.copy);
      r.Refused()) {
    return Refused(r);
  }
  if (Refusal r = CheckCopySource(course.copy); r.Refused()) return Refused(r);
  course.copy.verify.enabled = task.verify;
  course.copy.verify.beforeVerify = course.parts.beforeVerify;
  course.system = bootrepair::IsWindowsVolume(course.copy.source);
  return CheckInventory(course);
}

StepStatus CheckRestoreRules(CourseState& course, bool shown) {
  const TaskDescription& task = course.description;
  if (Refusal r = CheckRestoreChoice(course.state, task.image); r.Refused()) return Refused(r);
  if (StepStatus same = shown ? CheckShown(course) : StepStatus{}; !same.Ok()) return same;
  course.restore = {};
  if (Refusal r = CheckRestore(course.state, task.image, task.destination, course.restore);
      r.Refused()) {
    return Refused(r);
  }
  if (Refusal r = CheckRestoreImage(course.restore); r.Refused()) return Refused(r);
  if (Refusal r = CheckRestoreChecksums(course.restore); r.Refused()) return Refused(r);
  course.restore.verify.enabled = task.verify;
  course.restore.verify.beforeVerify = course.parts.beforeVerify;
  course.system = course.restore.header.windows != 0;
  return CheckInventory(course);
}

}  // namespace

StepStatus CheckCopyStep(CourseState& course) { return CheckCopyRules(course, true); }

StepStatus CheckRestoreStep(CourseState& course) { return CheckRestoreRules(course, true); }

StepStatus SplitStep(CourseState& course) {
  // Only the boot files need the partition: a task without them splits nothing.
  if (!course.description.repair || !course.system || course.noBoot || !course.target ||
      !NeedsBootPartitionSplit(*course.target)) {
    return {};
  }
  if (!course.Ask("GPTsplitFAT")) return StepFailed(StepCode::kDeclined, "GPTsplitFAT");
  const discovery::PartitionInfo target = *course.target;
  const std::string name = target.volumeName;
  if (!course.Progress({false, {}, FormatText(LoadText("waitingSplit"),
                                              {target.Volume().DisplayName()})})) {
    return StepFailed(StepCode::kStopped, "errorManualStop");
  }
  // The split shrinks the destination's partition: the locks go while the
  // script works on it, and every check runs again on what it leaves.
  DropLocks(course);
  SplitOutcome split;
  if (!IsCopy(course)) {
    // The script shrinks an NTFS volume; a restore's destination need not be one yet.
    const Refusal formatted = PrepareDestination(
        target.Volume(), static_cast<int32_t>(target.bytesPerCluster));
    if (formatted.Refused()) split.message = formatted.text;
  }
  if (split.message.empty()) {
    split = course.parts.split(target);
    course.splitDone = split.ran;
  }
  if (!split.Done()) {
    return StepFailed(StepCode::kRefused, "splitPartitionFailed", {name, split.message});
  }
  LogLess("split a boot partition off the disk of %s", name.c_str());
  StepStatus again =
      IsCopy(course) ? CheckCopyRules(course, false) : CheckRestoreRules(course, false);
  if (again.Ok() && course.target && NeedsBootPartitionSplit(*course.target)) {
    return StepFailed(StepCode::kRefused, "splitPartitionFailed",
                      {name, "the disk still has no FAT partition after the split"});
  }
  return again;
}

StepStatus FormatStep(CourseState& course) {
  const bool copy = IsCopy(course);
  if (!copy) {
    if (const std::string notice = NoChecksumNotice(course.restore); !notice.empty()) {
      course.Tell("noticeNoChecksumFile", notice);
    }
  }
  const std::string question =
      copy ? ConfirmCopyText(course.copy) : ConfirmRestoreText(course.restore);
  const char* questionId = copy ? "confirmcopy" : "confirmRestorePartition";
  if (!course.Ask(questionId, question)) {
    DropLocks(course);
    return StepFailed(StepCode::kDeclined, questionId);
  }
  const std::string waiting =
      FormatText(LoadText("waitingFormat"), {Destination(course).DisplayName()});
  if (!course.Progress({false, {}, waiting})) return StepFailed(StepCode::kStopped, "errorManualStop");
  const Refusal prepared = copy ? PrepareCopy(course.copy) : PrepareRestore(course.restore);
  return prepared.Refused() ? Refused(prepared) : StepStatus{};
}

StepStatus DestinationTransferStep(CourseState& course) {
  const bool copy = IsCopy(course);
  if (!course.Progress({true, {}, {}})) return StepFailed(StepCode::kStopped, "errorManualStop");
  const Refusal started = copy ? StartCopyTask(course.state, course.copy)
                               : StartRestoreTask(course.state, course.restore);
  if (started.Refused()) return Refused(started);
  course.request = copy ? CopyRequest(course.copy) : RestoreRequest(course.restore);
  course.successText = LoadText(copy ? "copyPartitionSuccess" : "restoreSuccess");
  return FollowEngine(course, course.description.verify);
}

StepStatus ReadBackStep(CourseState& course) { return FollowEngine(course, false); }

StepStatus FollowEngine(CourseState& course, bool untilVerify) {
  engine::TaskState& state = course.state;
  bool stopping = false;
  for (;;) {
    const engine::TaskProgress progress = state.QueryProgress();
    if (!course.Progress({true, progress, {}}) && !stopping) {
      stopping = true;
      state.StopTask();
    }
    if (progress.errorCode != engine::TaskError::kRunning) break;
    if (untilVerify && progress.phase == engine::TaskPhase::kVerify) return {};
    std::this_thread::sleep_for(course.parts.tick);
  }
  // The error code is final, but a worker may still be cleaning up (closing
  // the destination, removing an unfinished image).
  state.WaitForWorkers();
  const engine::TaskError code = state.ErrorCode();
  if (code == engine::TaskError::kSuccess) {
    static_cast<void>(course.Progress({true, state.QueryProgress(), {}}));
    return {};
  }
  StepStatus failed;
  failed.status = Status<StepCode>(
      code == engine::TaskError::kManualStop ? StepCode::kStopped : StepCode::kEngineFailed,
      state.ErrorDetail());
  failed.error = code;
  if (course.description.kind == engine::TaskKind::kBackup) {
    failed.id = engine::TaskErrorStringId(code) != nullptr ? engine::TaskErrorStringId(code) : "";
    failed.text = BackupResultText(code);
    return failed;
  }
  // A half-written destination is no volume anyone can use: an empty one is left.
  const FailedTaskEnd ended = EndFailedTask(course.request.destination, code);
  failed.id = engine::TaskErrorStringId(code) != nullptr ? engine::TaskErrorStringId(code) : "";
  failed.text = ended.text;
  failed.leftBehind =
      ended.reformatted ? "The destination is an empty volume again." : ended.reformatText;
  return failed;
}

void RunWaiting(CourseState& course, const char* waitingId, const std::function<void()>& work) {
  std::mutex lock;
  std::condition_variable endedSignal;
  bool ended = false;
  std::thread worker([&] {
    work();
    {
      std::lock_guard<std::mutex> guard(lock);
      ended = true;
    }
    endedSignal.notify_one();
  });
  // The waiting text at once, then a dot more each period until the work has
  // ended; the end is seen the moment it comes.
  int dots = 0;
  std::unique_lock<std::mutex> guard(lock);
  while (!ended) {
    guard.unlock();
    static_cast<void>(course.Progress({false, {}, WaitingText(waitingId, dots)}));
    dots = dots + 1 > kMaxWaitingDots ? 0 : dots + 1;
    guard.lock();
    endedSignal.wait_for(guard, course.parts.dotPeriod, [&] { return ended; });
  }
  guard.unlock();
  worker.join();
}

}  // namespace stow::tasks
