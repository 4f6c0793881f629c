// The chain that follows a successful copy or restore, without a toolkit: the
// disk check thread, then, when the destination holds a Windows system, the
// boot repair thread on the boot partition chosen from the inventory. Each
// thread reports through an event; while one runs the chain shows its waiting
// text once a second. The command line runs it through the tasks' post-task
// chain; the pages will drive the same steps from their own timers.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "bootrepair/BootRepair.h"
#include "bootrepair/DiskCheck.h"
#include "discovery/PartitionInfo.h"
#include "tasks/DestinationTask.h"

namespace stow::tasks {

// Codes of the chain (PostTaskResult::code).
inline constexpr int kChainOk = 0;
inline constexpr int kChainDiskCheckFailed = 1;   // the destination never reopened
inline constexpr int kChainBootRepairFailed = 2;  // the boot repair reported an error
inline constexpr int kChainDiskCheckDamaged = 3;  // the checker failed or found the volume damaged

// Waiting texts gain one dot per second, up to this many, then start again.
inline constexpr int kMaxWaitingDots = 10;

// The partition that takes the boot files of a system on `destination`, from
// `list`: on a GPT disk the first partition of the destination's disk whose
// file system is FAT (the EFI system partition); on an MBR disk the destination
// itself when it is a primary partition, else the first primary partition of
// its disk. nullptr when the destination is not in the list or no partition
// fits.
const discovery::PartitionInfo* ChooseBootPartition(const discovery::PartitionList& list,
                                                    const platform::VolumeId& destination);

// The parameters of the boot repair for a system on `destination` whose boot
// files go to `boot`.
bootrepair::RepairParams BootRepairParams(const discovery::PartitionInfo& boot,
                                          const PostTaskRequest& request);

// The waiting text after `dots` ticks: `id`'s text and that many dots.
std::string WaitingText(const char* id, int dots);

struct RepairChainOptions {
  // Shows a waiting text ("Checking disk, please wait...") once a second; may be empty.
  std::function<void(const std::string&)> progress;
  // Tells that a waiting phase ended (a front end ends its progress line); may be empty.
  std::function<void()> waitEnded;
  // The tick of the waiting texts.
  std::chrono::milliseconds tick{1000};
  bootrepair::DiskCheckOptions diskCheck;
  bootrepair::BootRepairOptions bootRepair;
  // Fills the inventory the boot partition is chosen from; RefreshPartitionList when empty.
  std::function<void(discovery::PartitionList&)> refresh;
  bootrepair::EventSender sender = bootrepair::kNoSender;
};

// The chain's steps, for a front end that starts its threads itself and
// receives their events on its own thread (a page, through its notify centre);
// RunRepairChain runs the same steps in order.

// The disk check's parameters for `request`, its event sent as `sender`.
std::unique_ptr<bootrepair::RepairParams> DiskCheckParams(const PostTaskRequest& request,
                                                          bootrepair::EventSender sender);
// The end of the chain that the disk check's result makes, or nothing when the
// chain goes on (the destination was checked and reopened). `checkerSaid`: the
// checker's own account (DiskCheckOptions::checked).
std::optional<PostTaskResult> DiskCheckEnd(const PostTaskRequest& request,
                                           bootrepair::DiskCheckResult result,
                                           const std::string& checkerSaid);
// The end without a boot repair: the destination holds no Windows system.
PostTaskResult NoRepairEnd(const PostTaskRequest& request);
// The end when no partition can take the boot files: the task's success text
// with a notice that the boot repair did not run.
PostTaskResult NoBootPartitionEnd(const PostTaskRequest& request);
// The end that the boot repair's result makes.
PostTaskResult BootRepairEnd(const PostTaskRequest& request, bootrepair::BootRepairResult result);

// Runs the chain for a finished copy or restore and gives its code and texts:
// a checker that failed: kChainDiskCheckDamaged with `diskCheckFailed`; a
// destination that never reopened: kChainDiskCheckFailed with
// `diskCheckNotReopened`; no Windows
// system: 0 with the task's own success text; no partition for the boot files:
// 0 with the task's success text and a notice; the boot repair's result:
// 0 with `copySystemSuccess` or `RestorePartitionSuccess`, else
// kChainBootRepairFailed with `copybcderror`.
PostTaskResult RunRepairChain(const PostTaskRequest& request, const RepairChainOptions& options);

// The chain as the tasks' post-task chain.
PostTaskChain MakeRepairChain(RepairChainOptions options);

}  // namespace stow::tasks
