// The rules on a copy or restore destination chosen from the inventory, as the
// pages apply them between the choice and the question: has the inventory
// changed since the page showed it, can the destination start a system, is it
// on the running system's disk, does its GPT disk lack the FAT partition that
// takes the boot files (then one is split off first). The volumes are named by
// their volume names (device paths): an unmounted volume has no mount path.
#pragma once

#include <string>

#include "discovery/PartitionInfo.h"

namespace stow::tasks {

// The inventory changed between `shown` and `now`: another number of volumes,
// or another volume name or mount path at the same position.
bool PartitionListChanged(const discovery::PartitionList& shown,
                          const discovery::PartitionList& now);

// The first record whose volume name is `name`; nullptr when none.
const discovery::PartitionInfo* FindPartition(const discovery::PartitionList& list,
                                              const std::string& name);

// The record of the volume `name`, under its own name or another name of the
// same device ("/dev/disk/by-..." links); nullptr when the list has none.
const discovery::PartitionInfo* FindVolume(const discovery::PartitionList& list,
                                           const std::string& name);

// The running system's volume; nullptr when the list does not hold it.
const discovery::PartitionInfo* SystemPartition(const discovery::PartitionList& list);

// A system on the destination could not be started (question `cannotAsSystem`):
// it lies on no single disk, or is an MBR partition of unknown kind, or lies on
// a GPT disk whose FAT partition could not be looked for.
bool CannotBoot(const discovery::PartitionInfo& destination);

// The destination lies on the disk of the running system
// (`copySysCanNotCurSysDisk` for a system copy).
bool OnRunningSystemDisk(const discovery::PartitionList& list,
                         const discovery::PartitionInfo& destination);

// A system going onto the destination needs a FAT partition split off its GPT
// disk first (question `GPTsplitFAT`): the disk has none.
bool NeedsBootPartitionSplit(const discovery::PartitionInfo& destination);

}  // namespace stow::tasks
