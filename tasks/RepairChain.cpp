#include "tasks/RepairChain.h"

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "bootrepair/WindowsVolume.h"
#include "discovery/Inventory.h"
#include "platform/VolumeUse.h"
#include "support/Enums.h"
#include "support/Format.h"
#include "support/Log.h"
#include "support/StringTable.h"
#include "tasks/BackupTask.h"
#include "tasks/Events.h"

namespace stow::tasks {
namespace {

using bootrepair::RepairParams;
using discovery::PartitionInfo;
using discovery::PartitionList;

bool IsFat(const PartitionInfo& info) {
  return info.fileSystemName.find("FAT") != std::string::npos;
}

bool OnSameDisk(const PartitionInfo& a, const PartitionInfo& b) {
  return a.diskNumber != discovery::kNoDiskNumber && a.diskNumber == b.diskNumber;
}

// Runs `work` on its own thread and waits for its event of `kind`, showing the
// waiting text of `waitingId` once a tick meanwhile. A worker that ended
// without its event (it cannot, short of a fault) counts as a failure.
bootrepair::EventThread AwaitWorker(const std::function<void(bootrepair::EventSink&)>& work,
                                    int kind, const char* waitingId,
                                    const RepairChainOptions& options, int failureValue) {
  EventQueue queue;
  std::atomic<bool> ended{false};
  std::thread worker([&] {
    work(queue);
    ended = true;
  });
  int dots = 0;
  if (options.progress) options.progress(WaitingText(waitingId, dots));
  std::optional<EventThread> event;
  for (;;) {
    event = queue.Wait(options.tick);
    if (event && event->Kind() == kind) break;
    if (event) continue;  // not this step's event
    if (ended && queue.Size() == 0) break;
    dots = dots + 1 > kMaxWaitingDots ? 0 : dots + 1;
    if (options.progress) options.progress(WaitingText(waitingId, dots));
  }
  worker.join();
  if (options.waitEnded) options.waitEnded();
  if (event) return *event;
  LogLess("a repair step ended without reporting; taken as failed");
  return EventThread{options.sender, kind, failureValue, {}};
}

}  // namespace

const PartitionInfo* ChooseBootPartition(const PartitionList& list,
                                         const platform::VolumeId& destination) {
  const PartitionInfo* target = nullptr;
  for (const PartitionInfo& info : list) {
    // The same name, or another name of the same device ("/dev/disk/by-..." links).
    if (info.volumeName == destination.DevicePath() ||
        platform::SameVolume(info.volumeName, destination.DevicePath())) {
      target = &info;
      break;
    }
  }
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

RepairParams BootRepairParams(const PartitionInfo& boot, const PostTaskRequest& request) {
  RepairParams params;
  params.diskNumber = static_cast<uint32_t>(boot.diskNumber);
  params.partitionNumber = boot.partitionNumber;
  params.partitionStyle = boot.partitionStyle;
  params.bootPartition = boot.Volume();
  params.source = request.source;
  params.sourceLetter = request.sourceLetter;
  params.destination = request.destination;
  return params;
}

std::string WaitingText(const char* id, int dots) {
  return LoadText(id) + std::string(static_cast<size_t>(dots > 0 ? dots : 0), '.');
}

std::unique_ptr<RepairParams> DiskCheckParams(const PostTaskRequest& request,
                                              bootrepair::EventSender sender) {
  auto check = std::make_unique<RepairParams>();
  check->source = request.source;
  check->sourceLetter = request.sourceLetter;
  check->destination = request.destination;
  check->imagePath = request.imagePath;
  check->sender = sender;
  return check;
}

std::optional<PostTaskResult> DiskCheckEnd(const PostTaskRequest& request,
                                           bootrepair::DiskCheckResult result,
                                           const std::string& checkerSaid) {
  const std::string destination = request.destination.DisplayName();
  if (result == bootrepair::DiskCheckResult::kFailed) {
    return PostTaskResult{kChainDiskCheckDamaged,
                          FormatText(LoadText("diskCheckFailed"), {destination, checkerSaid}),
                          {}};
  }
  if (result == bootrepair::DiskCheckResult::kVolumeNotReopened) {
    return PostTaskResult{
        kChainDiskCheckFailed, FormatText(LoadText("diskCheckNotReopened"), {destination}), {}};
  }
  return std::nullopt;
}

PostTaskResult NoRepairEnd(const PostTaskRequest& request) {
  const bool copy = request.kind == engine::TaskKind::kCopy;
  return PostTaskResult{kChainOk, LoadText(copy ? "copyPartitionSuccess" : "restoreSuccess"), {}};
}

PostTaskResult NoBootPartitionEnd(const PostTaskRequest& request) {
  LogLess("no partition for the boot files of %s", request.destination.DisplayName().c_str());
  PostTaskResult result = NoRepairEnd(request);
  result.notice = LoadText("taskFailed") + " " + LoadText("sorryTry");
  return result;
}

PostTaskResult BootRepairEnd(const PostTaskRequest& request, bootrepair::BootRepairResult result) {
  const bool copy = request.kind == engine::TaskKind::kCopy;
  if (result == bootrepair::BootRepairResult::kOk) {
    return PostTaskResult{
        kChainOk, LoadText(copy ? "copySystemSuccess" : "RestorePartitionSuccess"), {}};
  }
  return PostTaskResult{kChainBootRepairFailed,
                        FormatText(LoadText("copybcderror"), {std::to_string(ToInt(result))}),
                        {}};
}

PostTaskResult RunRepairChain(const PostTaskRequest& request, const RepairChainOptions& options) {
  auto check = DiskCheckParams(request, options.sender);
  bootrepair::DiskCheckOptions checkOptions = options.diskCheck;
  std::string checkerSaid;
  checkOptions.checked = [&](const bootrepair::VolumeCheckResult& result) {
    checkerSaid = result.Describe();
    if (options.diskCheck.checked) options.diskCheck.checked(result);
  };
  const EventThread checked = AwaitWorker(
      [&](bootrepair::EventSink& sink) {
        bootrepair::DiskCheckThread(std::move(check), sink, checkOptions);
      },
      bootrepair::kEventDiskCheck, "waitingchkdsk", options,
      ToInt(bootrepair::DiskCheckResult::kVolumeNotReopened));
  if (auto end = DiskCheckEnd(request, bootrepair::DiskCheckResultOf(checked.value), checkerSaid)) {
    return *end;
  }
  if (!bootrepair::IsWindowsVolume(request.destination)) return NoRepairEnd(request);

  PartitionList list;
  if (options.refresh) {
    options.refresh(list);
  } else {
    discovery::RefreshPartitionList(list);
  }
  const PartitionInfo* boot = ChooseBootPartition(list, request.destination);
  if (boot == nullptr) return NoBootPartitionEnd(request);
  auto repair = std::make_unique<RepairParams>(BootRepairParams(*boot, request));
  repair->sender = options.sender;
  const EventThread repaired = AwaitWorker(
      [&](bootrepair::EventSink& sink) {
        bootrepair::ChangeBcdThread(std::move(repair), sink, options.bootRepair);
      },
      bootrepair::kEventBootRepair, "waitingCopyBCD", options,
      ToInt(bootrepair::BootRepairResult::kNoProgramFolder));
  return BootRepairEnd(request, bootrepair::BootRepairResultOf(repaired.value));
}

PostTaskChain MakeRepairChain(RepairChainOptions options) {
  return [options = std::move(options)](const PostTaskRequest& request) {
    return RunRepairChain(request, options);
  };
}

}  // namespace stow::tasks
