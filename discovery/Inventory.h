// The inventory of the volumes on the machine's fixed disks.
//
// A refresh clears the list and runs four steps in order: the enumeration with its
// per-volume queries, then three passes that derive flags from what the
// enumeration found. The inventory only reads; it never writes to a disk. A failed
// query leaves its fields at their defaults and writes one log line.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "discovery/PartitionInfo.h"
#include "engine/disk/DiskDevice.h"

namespace stow::discovery {

void RefreshPartitionList(PartitionList& list);

// Step 1: appends a record for every volume of a fixed disk with its queries done.
void EnumerateVolumes(PartitionList& list);

// Step 2: MBR kind of the records on MBR disks, from the disk's partition table.
void ClassifyMbrKinds(PartitionList& list);
// Opens disk `diskNumber` read-only into `disk`.
using DiskOpener = std::function<engine::DiskResult(int diskNumber, engine::DiskDevice& disk)>;
void ClassifyMbrKinds(PartitionList& list, const DiskOpener& openDisk);

// Step 3: GPT FAT flag of the records on GPT disks.
void MarkGptFatDisks(PartitionList& list);

// Step 4: system volume flag: set where the mount path equals `systemRoot` exactly.
void MarkSystemVolume(PartitionList& list);
void MarkSystemVolume(PartitionList& list, const std::string& systemRoot);

// First sector of the volume at `path` in its disk's sectors; 0 on any failure.
uint64_t GetVolumeStartSector(const std::string& path);

// Partition style of disk `diskNumber`, or of the device at `fallbackPath` when the
// disk cannot be opened: kStyleMbr/Gpt/Raw, kStyleNotOpened, kStyleQueryFailed.
platform::PartitionStyle GetDiskPartitionStyle(const std::string& fallbackPath, int32_t diskNumber);

}  // namespace stow::discovery
