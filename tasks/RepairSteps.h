// What the steps after a copy or restore share with the front ends: the
// choice of the partition that takes the boot files, the boot repair's
// parameters, and the waiting texts shown while a step that cannot count runs.
#pragma once

#include <string>

#include "bootrepair/BootRepair.h"
#include "discovery/PartitionInfo.h"
#include "platform/VolumeId.h"
#include "tasks/DestinationTask.h"

namespace stow::tasks {

// Waiting texts gain one dot per second, up to this many, then start again.
inline constexpr int kMaxWaitingDots = 10;

// The waiting text after `dots` ticks: `id`'s text and that many dots.
std::string WaitingText(const char* id, int dots);

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

}  // namespace stow::tasks
