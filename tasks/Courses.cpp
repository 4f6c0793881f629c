#include "tasks/Courses.h"

#include <utility>
#include <vector>

#include "discovery/Inventory.h"
#include "tasks/CourseSteps.h"

namespace stow::tasks {

CourseParts CourseParts::System() {
  CourseParts parts;
  parts.inventory = [](discovery::PartitionList& list) { discovery::RefreshPartitionList(list); };
  parts.enumerate = [](discovery::PartitionList& list) { discovery::EnumerateVolumes(list); };
  parts.split = [](const discovery::PartitionInfo& destination) {
    return SplitPartition(destination);
  };
  return parts;
}

std::vector<Step> RepairSteps() {
  const std::string written = "the data in place on the destination";
  return {
      {kStepDiskCheck, written + ", not checked", "waitingchkdsk", DiskCheckStep},
      {kStepRegistry, written, "", RegistryStep},
      {kStepBootFiles, written + ", not bootable", "waitingCopyBCD", BootFilesStep},
      {kStepActivation, written + " with its boot files, its partition not active", "",
       ActivationStep},
  };
}

std::unique_ptr<Course> BuildCourse(const TaskDescription& task, engine::TaskState& state,
                                    CourseParts parts) {
  std::vector<Step> steps;
  const bool backup = task.kind == engine::TaskKind::kBackup;
  const bool copy = task.kind == engine::TaskKind::kCopy;
  const std::string asItWas = "the destination as it was";
  const std::string formatted = "the destination formatted as an empty volume";
  if (backup) {
    steps.push_back({kStepCheck, "nothing written", "", CheckBackupStep});
    steps.push_back({kStepTransfer, "no image: an unfinished one is removed, a file it was to "
                                    "replace is kept", "", BackupTransferStep});
    if (task.verify) {
      steps.push_back({kStepReadBack, "the image, complete but not proven", "", ImageReadBackStep});
    }
  } else {
    steps.push_back({kStepCheck, asItWas, "", copy ? CheckCopyStep : CheckRestoreStep});
    steps.push_back({kStepSplit, "the destination's disk as the split script left it",
                     "waitingSplit", SplitStep});
    steps.push_back({kStepFormat, formatted, "waitingFormat", FormatStep});
    steps.push_back({kStepTransfer, formatted, "", DestinationTransferStep});
    if (task.verify) steps.push_back({kStepReadBack, formatted, "", ReadBackStep});
    if (task.repair) {
      for (Step& step : RepairSteps()) steps.push_back(std::move(step));
    }
  }
  auto working = std::make_unique<CourseState>(task, state, std::move(parts));
  return std::make_unique<Course>(std::move(working), std::move(steps));
}

}  // namespace stow::tasks
