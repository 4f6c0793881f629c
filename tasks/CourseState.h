// What a course carries from step to step: the task's description, fixed when
// the course is built, the parts it runs (replaceable by tests), and what its
// steps found out (the plans with the locks they hold, the inventory, whether
// a system goes onto the destination, the boot partition).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "bootrepair/BootRepair.h"
#include "bootrepair/DiskCheck.h"
#include "discovery/PartitionInfo.h"
#include "engine/transfer/TaskState.h"
#include "tasks/BackupTask.h"
#include "tasks/CommandRunners.h"
#include "tasks/CopyTask.h"
#include "tasks/Course.h"
#include "tasks/DestinationTask.h"
#include "tasks/RestoreTask.h"
#include "tasks/TaskDescription.h"

namespace stow::tasks {

// The parts a course runs besides the engine. The defaults are the machine's.
struct CourseParts {
  // Reads the inventory of disks and volumes (discovery::RefreshPartitionList).
  std::function<void(discovery::PartitionList&)> inventory;
  // Lists the volumes, for the check that a page's inventory has not changed
  // (discovery::EnumerateVolumes).
  std::function<void(discovery::PartitionList&)> enumerate;
  // Splits an EFI system partition off the destination's GPT disk (SplitPartition).
  std::function<SplitOutcome(const discovery::PartitionInfo& destination)> split;
  bootrepair::DiskCheckOptions diskCheck;
  bootrepair::BootRepairOptions bootRepair;
  // How often a running step reports its progress.
  std::chrono::milliseconds tick{100};
  // How often a waiting text gains a dot.
  std::chrono::milliseconds dotPeriod{1000};
  // The date a backup names its default image after (Today() when unset).
  std::optional<CalendarDate> date;
  // Tests: runs between the transfer and the read-back (see VerifyOptions),
  // and before a backup's image is read back.
  std::function<void(std::span<const engine::WrittenRange>)> beforeVerify;
  std::function<void(const std::string& image)> beforeImageVerify;

  // The machine's parts.
  static CourseParts System();
};

struct CourseState {
  CourseState(TaskDescription task, engine::TaskState& engineState, CourseParts courseParts)
      : description(std::move(task)), state(engineState), parts(std::move(courseParts)) {}

  const TaskDescription description;
  engine::TaskState& state;
  const CourseParts parts;
  TaskFrontEnd* frontEnd = nullptr;  // while Run runs

  CopyPlan copy;
  RestorePlan restore;
  BackupPlan backup;
  // The inventory as the checks read it; empty when the volumes are files.
  discovery::PartitionList volumes;
  // The destination's record in `volumes`, when the inventory knows it.
  std::optional<discovery::PartitionInfo> target;
  // A Windows system goes onto the destination and is to be made bootable.
  bool system = false;
  // The user accepted a destination that will not start a system.
  bool noBoot = false;
  // The split step changed the destination's disk.
  bool splitDone = false;
  // After the transfer: what the steps after it are given.
  PostTaskRequest request;
  std::optional<discovery::PartitionInfo> bootPartition;
  // What placing the boot files gave (the activation follows a store that
  // could not be pointed, and tells it).
  bootrepair::BootRepairResult bootFiles = bootrepair::BootRepairResult::kOk;
  // The text a success ends with, and a notice shown before it.
  std::string successText;
  std::string notice;
  // The checker's own account of the destination, for the disk check's message.
  std::string checkerSaid;

  [[nodiscard]] bool Ask(const std::string& id, const std::string& text) const;
  [[nodiscard]] bool Ask(const std::string& id) const;
  void Tell(const std::string& id, const std::string& text) const;
  // Reports progress; false when the front end asks to stop.
  [[nodiscard]] bool Progress(const StepProgress& progress) const;
};

}  // namespace stow::tasks
