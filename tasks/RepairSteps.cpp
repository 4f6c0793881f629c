// The steps after a copy or restore: the disk check of the destination, the
// offline registry's drive letters, the boot files with the boot
// configuration, and the active flag on an MBR disk.
#include "tasks/RepairSteps.h"

#include "bootrepair/Registry.h"
#include "bootrepair/WindowsVolume.h"
#include "support/Format.h"
#include "support/Log.h"
#include "support/StringTable.h"
#include "tasks/CourseSteps.h"
#include "tasks/DestinationChoice.h"

namespace stow::tasks {
namespace {

using discovery::PartitionInfo;
using discovery::PartitionList;

bool IsFat(const PartitionInfo& info) {
  return info.fileSystemName.find("FAT") != std::string::npos;
}

bool OnSameDisk(const PartitionInfo& a, const PartitionInfo& b) {
  return a.diskNumber != discovery::kNoDiskNumber && a.diskNumber == b.diskNumber;
}

bool IsCopy(const CourseState& course) {
  return course.description.kind == engine::TaskKind::kCopy;
}

// The destination gets its boot files: a Windows system went onto it and the
// user did not accept one that will not start.
bool WantsBootFiles(const CourseState& course) {
  return !course.noBoot && bootrepair::IsWindowsVolume(course.request.destination);
}

}  // namespace

const PartitionInfo* ChooseBootPartition(const PartitionList& list,
                                         const platform::VolumeId& destination) {
  const PartitionInfo* target = FindVolume(list, destination.DevicePath());
  if (target == nullptr || target->diskNumber == discovery::kNoDiskNumber) return nullptr;
  if (target->partitionStyle == platform::kStyleMbr) {
    if (target->mbrKind == discovery::kMbrKindPrimary) return target;
    for (const PartitionInfo& info : list) {
      if (OnSameDisk(info, *target) && info.mbrKind == discovery::kMbrKindPrimary) return &info;
    }
    return nullptr;
  }
  if (target->partitionStyle == platform::kStyleGpt) {
    for (const PartitionInfo& info : list) {
      if (OnSameDisk(info, *target) && IsFat(info)) return &info;
    }
  }
  return nullptr;
}

bootrepair::RepairParams BootRepairParams(const PartitionInfo& boot,
                                          const PostTaskRequest& request) {
  bootrepair::RepairParams params;
  params.diskNumber = static_cast<uint32_t>(boot.diskNumber);
  params.partitionNumber = boot.partitionNumber;
  params.partitionStyle = boot.partitionStyle;
  params.bootPartition = boot.Volume();
  params.source = request.source;
  params.destination = request.destination;
  return params;
}

std::string WaitingText(const char* id, int dots) {
  return LoadText(id) + std::string(static_cast<size_t>(dots > 0 ? dots : 0), '.');
}

StepStatus DiskCheckStep(CourseState& course) {
  const platform::VolumeId& destination = course.request.destination;
  bootrepair::DiskCheckOptions options = course.parts.diskCheck;
  options.checked = [&](const bootrepair::VolumeCheckResult& check) {
    course.checkerSaid = check.Describe();
    if (course.parts.diskCheck.checked) course.parts.diskCheck.checked(check);
  };
  bootrepair::DiskCheckResult result = bootrepair::DiskCheckResult::kFailed;
  RunWaiting(course, "waitingchkdsk",
             [&] { result = bootrepair::CheckDestination(destination, options); });
  // A damaged file system is not written to: that makes it worse.
  if (result == bootrepair::DiskCheckResult::kFailed) {
    return StepFailed(StepCode::kDiskCheckFailed, "diskCheckFailed",
                      {destination.DisplayName(), course.checkerSaid});
  }
  if (result == bootrepair::DiskCheckResult::kVolumeNotReopened) {
    return StepFailed(StepCode::kNotReopened, "diskCheckNotReopened",
                      {destination.DisplayName()});
  }
  return {};
}

StepStatus RegistryStep(CourseState& course) {
  const PostTaskRequest& request = course.request;
  if (!bootrepair::IsWindowsVolume(request.destination)) {
    // No installation, so no hive: a read-write mount to find that out would
    // only touch the volume (access times) for nothing.
    LogDebug("%s holds no Windows system: no registry to fix",
             request.destination.DisplayName().c_str());
    return {};
  }
  static_cast<void>(bootrepair::EnablePrivileges());  // the fix-up checks again and logs
  if (!bootrepair::FixMountedDevices(request.source, request.sourceLetter, request.destination)) {
    LogLess("%s keeps its old drive letters: its registry could not be fixed",
            request.destination.DisplayName().c_str());
  }
  return {};
}

StepStatus BootFilesStep(CourseState& course) {
  course.bootPartition.reset();
  if (!WantsBootFiles(course)) return {};
  PartitionList list;
  if (course.parts.inventory) course.parts.inventory(list);
  const PartitionInfo* boot = ChooseBootPartition(list, course.request.destination);
  if (boot == nullptr) {
    LogLess("no partition for the boot files of %s",
            course.request.destination.DisplayName().c_str());
    return StepFailed(StepCode::kRepairFailed, "noBootPartition",
                      {course.request.destination.DisplayName()});
  }
  course.bootPartition = *boot;
  const bootrepair::RepairParams params = BootRepairParams(*boot, course.request);
  bootrepair::BootRepairResult result = bootrepair::BootRepairResult::kOk;
  RunWaiting(course, "waitingCopyBCD",
             [&] { result = bootrepair::PlaceBootFileSet(params, course.parts.bootRepair); });
  course.bootFiles = result;
  // Files in place whose stores point elsewhere: the partition is still made
  // active, and a failed activation is what the user hears of first.
  if (result != bootrepair::BootRepairResult::kOk &&
      result != bootrepair::BootRepairResult::kStoresNotSet) {
    return StepFailed(StepCode::kRepairFailed, "copybcderror", {std::to_string(ToInt(result))});
  }
  return {};
}

StepStatus ActivationStep(CourseState& course) {
  if (!course.bootPartition) return {};
  if (course.bootPartition->partitionStyle == platform::kStyleMbr &&
      bootrepair::ActivateBootPartition(course.bootPartition->Volume().DevicePath()) !=
          bootrepair::ActivateResult::kOk) {
    return StepFailed(StepCode::kRepairFailed, "copybcderror",
                      {std::to_string(ToInt(bootrepair::BootRepairResult::kActivateFailed))});
  }
  if (course.bootFiles != bootrepair::BootRepairResult::kOk) {
    return StepFailed(StepCode::kRepairFailed, "copybcderror",
                      {std::to_string(ToInt(course.bootFiles))});
  }
  course.successText = LoadText(IsCopy(course) ? "copySystemSuccess" : "RestorePartitionSuccess");
  return {};
}

}  // namespace stow::tasks
