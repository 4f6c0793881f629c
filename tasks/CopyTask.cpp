#include "tasks/CopyTask.h"

#include "engine/Disk.h"
#include "platform/VolumeUse.h"
#include "support/Log.h"
#include "support/StringTable.h"
#include "tasks/BackupTask.h"

namespace stow::tasks {

Refusal CheckCopy(const engine::TaskState& state, const std::string& source,
                  const std::string& destination, CopyPlan& plan) {
  if (EngineTaskRunning(state)) return MakeRefusal("copyThreadIsRunning");
  if (source.empty()) return MakeRefusal("choosesource");
  if (destination.empty()) return MakeRefusal("choosedestance");
  if (source == destination) return MakeRefusal("destEqualSour");
  engine::CDisk disk;
  if (disk.InitDisk(platform::VolumeId(source), true) != engine::kDiskOk) {
    return MakeRefusal("sourceUnopenable");
  }
  DestinationInfo info;
  if (Refusal r = OpenDestination(destination, info); r.Refused()) return r;
  // Formatting a destination that shares its sectors with the source destroys the source.
  if (platform::VolumesOverlap(source, destination)) return MakeRefusal("destEqualSour");
  if (Refusal r = CheckDestinationUse(info); r.Refused()) return r;
  std::string why;
  if (disk.CheckNtfsVolume(&why) != engine::kDiskOk) return MakeRefusal("sourceNotNtfs", {why});
  plan.source = platform::VolumeId(source);
  plan.sourceClusterSize = disk.ClusterSize();
  plan.destination = info;
  return {};
}

std::string ConfirmCopyText(const CopyPlan& plan) {
  return FormatText(LoadString("confirmcopy"),
                    {plan.source.DisplayName(), plan.destination.volume.DisplayName()}) +
         "\n" + NoticeFormatText(plan.destination.volume);
}

Refusal PrepareCopy(const CopyPlan& plan) {
  return PrepareDestination(plan.destination.volume, static_cast<int32_t>(plan.sourceClusterSize));
}

Refusal StartCopyTask(engine::TaskState& state, const CopyPlan& plan) {
  LogLess("Start copy!");
  const int started = state.StartCopy(plan.source, plan.destination.volume);
  if (started == engine::kStartOk) return {};
  return MakeRefusal("runTaskError", {std::to_string(started)});
}

TaskOutcome FinishCopy(const CopyPlan& plan, int errorCode, const PostTaskHook& hook) {
  PostTaskRequest request;
  request.kind = engine::TaskKind::kCopy;
  request.source = plan.source;
  request.destination = plan.destination.volume;
  return FinishDestinationTask(request, errorCode, "copyPartitionSuccess", hook);
}

TaskOutcome FinishCopy(const CopyPlan& plan, int errorCode, const PostTaskChain& chain) {
  PostTaskRequest request;
  request.kind = engine::TaskKind::kCopy;
  request.source = plan.source;
  request.destination = plan.destination.volume;
  return FinishDestinationTask(request, errorCode, "copyPartitionSuccess", chain);
}

}  // namespace stow::tasks
