#include "tasks/CopyTask.h"

#include <algorithm>

#include "engine/check/SourceCheck.h"
#include "engine/core/TaskError.h"
#include "engine/destination/DiskDestination.h"
#include "engine/destination/DiskDestinationExtents.h"
#include "engine/disk/Disk.h"
#include "engine/image/MftExtents.h"
#include "platform/VolumeUse.h"
#include "support/Format.h"
#include "support/Log.h"
#include "support/StringTable.h"
#include "tasks/BackupTask.h"

namespace stow::tasks {
namespace {

constexpr uint64_t kSectorBytes = 512;
// The partition writer refuses a destination smaller than the need and a 20th.
constexpr uint64_t kCopySizeMarginDivisor = 20;
// Its bitmap may count up to 63 clusters more than the volume has.
constexpr uint32_t kCopyBitmapSlackClusters = 64;
// The entries up to $Bitmap (record 6), all of them, for the cluster bitmap.
constexpr uint64_t kBitmapEntries = 7;

}  // namespace

Refusal CheckCopyChoice(const engine::TaskState& state, const std::string& source,
                        const std::string& destination) {
  if (EngineTaskRunning(state)) return MakeRefusal("copyThreadIsRunning");
  if (source.empty()) return MakeRefusal("choosesource");
  if (destination.empty()) return MakeRefusal("choosedestance");
  if (source == destination) return MakeRefusal("destEqualSour");
  return {};
}

Refusal CheckCopy(const engine::TaskState& state, const std::string& source,
                  const std::string& destination, CopyPlan& plan) {
  if (Refusal r = CheckCopyChoice(state, source, destination); r.Refused()) return r;
  engine::CDisk disk;
  if (disk.InitDisk(platform::VolumeId(source), true) != engine::DiskResult::kOk) {
    return MakeRefusal("sourceUnopenable");
  }
  DestinationInfo info;
  if (Refusal r = OpenDestination(destination, info); r.Refused()) return r;
  // Formatting a destination that shares its sectors with the source destroys the source.
  if (platform::VolumesOverlap(source, destination)) return MakeRefusal("destEqualSour");
  std::shared_ptr<platform::TaskLock> sourceLock;
  std::shared_ptr<platform::TaskLock> destinationLock;
  if (Refusal r =
          LockTaskVolume(platform::VolumeId(source), platform::LockMode::kShared, sourceLock);
      r.Refused()) {
    return r;
  }
  if (Refusal r = LockTaskVolume(info.volume, platform::LockMode::kExclusive, destinationLock);
      r.Refused()) {
    return r;
  }
  if (Refusal r = CheckDestinationUse(info); r.Refused()) return r;
  std::string why;
  if (disk.Mft().CheckNtfsVolume(&why) != engine::DiskResult::kOk)
    return MakeRefusal("sourceNotNtfs", {why});
  // Checked before the destination is formatted: a source that may change while
  // it is read, or whose files cannot all be placed, leaves the destination as it is.
  if (engine::CheckSourceNotWritable(platform::VolumeId(source), why) != engine::TaskError::kNone) {
    return MakeRefusal("sourceUnsafe", {why});
  }
  if (const engine::TaskError code = engine::CheckSourceRecords(disk, why);
      code != engine::TaskError::kNone) {
    return MakeRefusal(
        code == engine::TaskError::kSourceReadFailed ? "sourceMftUnreadable" : "sourceUnsafe",
        {why});
  }
  plan.source = platform::VolumeId(source);
  plan.sourceClusterSize = disk.Device().ClusterSize();
  plan.destination = info;
  plan.sourceLock = std::move(sourceLock);
  plan.destinationLock = std::move(destinationLock);
  return {};
}

Refusal CheckCopySource(const CopyPlan& plan) {
  engine::CDisk disk;
  if (disk.InitDisk(plan.source, true) != engine::DiskResult::kOk)
    return MakeRefusal("sourceUnopenable");
  uint64_t totalSectors = 0;
  if (disk.Mft().BuildEntryList(totalSectors, true, 0) == 0) {
    return MakeRefusal("sourceMftUnreadable", {"its record 0 or its runs cannot be read"});
  }
  if (disk.Mft().UnreadRecords() != 0) {
    return MakeRefusal("sourceMftUnreadable", {std::to_string(disk.Mft().UnreadRecords()) +
                                               " of its records cannot be read"});
  }
  // A $MFT continued in extension records: every extent where the writer needs it.
  if (std::string why; engine::CheckSourceMft(disk, why) != engine::TaskError::kNone) {
    return MakeRefusal("sourceMftUnreadable", {why});
  }
  // What the writer will need: the clusters in use where the bitmap can be read
  // (sparse and compressed files count at their full size in the entry list).
  uint64_t needed = totalSectors;
  uint64_t ignored = 0;
  engine::DiskDestination bitmap(disk.Mft(), disk.Device());
  if (disk.Mft().BuildEntryList(ignored, false, kBitmapEntries) != 0 && bitmap.LoadBitmap()) {
    const uint64_t used =
        engine::CountClusterBits(bitmap.Bitmap(), disk.Mft().VolumeClusterCount());
    needed = std::min(needed, used * disk.Device().SectorsPerCluster());
  }
  // The writer's own check allows for its bitmap's rounding; this one refuses
  // only what the writer would refuse after the format.
  const uint64_t margin = needed / kCopySizeMarginDivisor;
  const uint64_t slack = uint64_t{kCopyBitmapSlackClusters} * disk.Device().SectorsPerCluster();
  const uint64_t destinationSectors = plan.destination.totalBytes / kSectorBytes;
  if (destinationSectors + slack < needed + margin) {
    constexpr uint64_t kSectorsPerMiB = (1u << 20) / kSectorBytes;
    return MakeRefusal("destinationTooSmall",
                       {plan.destination.volume.DisplayName(),
                        std::to_string((needed + margin + kSectorsPerMiB - 1) / kSectorsPerMiB),
                        std::to_string(destinationSectors / kSectorsPerMiB)});
  }
  return {};
}

std::string ConfirmCopyText(const CopyPlan& plan) {
  return FormatText(LoadText("confirmcopy"),
                    {plan.source.DisplayName(), plan.destination.volume.DisplayName()}) +
         "\n" + NoticeFormatText(plan.destination.volume);
}

Refusal PrepareCopy(const CopyPlan& plan) {
  return PrepareDestination(plan.destination.volume, static_cast<int32_t>(plan.sourceClusterSize));
}

Refusal StartCopyTask(engine::TaskState& state, const CopyPlan& plan) {
  LogLess("Start copy!");
  const engine::StartResult started =
      state.StartCopy(plan.source, plan.destination.volume, plan.verify);
  if (started == engine::kStartOk) return {};
  return MakeRefusal("runTaskError", {std::to_string(ToInt(started))});
}

PostTaskRequest CopyRequest(const CopyPlan& plan) {
  PostTaskRequest request;
  request.kind = engine::TaskKind::kCopy;
  request.source = plan.source;
  request.destination = plan.destination.volume;
  return request;
}



}  // namespace stow::tasks
