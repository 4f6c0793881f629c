// Steps 2 to 4 of the inventory: flags derived from the enumerated records and,
// for MBR disks, from the disk's own partition table.
#include <vector>

#include "discovery/Inventory.h"
#include "engine/disk/DiskPartitions.h"
#include "platform/DiskNumbers.h"
#include "platform/Volumes.h"
#include "support/Enums.h"
#include "support/Log.h"

namespace stow::discovery {
namespace {

constexpr const char* kFatName = "FAT";

// The inventory only reads, so the disk is opened read-only.
engine::DiskResult OpenDiskReadOnly(int diskNumber, engine::DiskDevice& disk) {
  std::string path;
  if (!platform::ResolveDiskNumber(diskNumber, path)) return engine::DiskResult::kOpenFailed;
  return disk.OpenPhysicalDrivePath(path, true);
}

// An unused MBR slot starts at sector 0 and would match a volume whose start
// sector is unknown (0); it describes no partition, so it never matches.
bool DescribesPartition(const engine::PartitionTableEntry& e) {
  return e.Type() != 0 && e.SectorCount() != 0;
}

void ClassifyRecord(PartitionInfo& r, const std::vector<engine::PartitionTableEntry>& entries) {
  for (const engine::PartitionTableEntry& e : entries) {
    if (e.kind == engine::kGptEntry || !DescribesPartition(e)) continue;
    if (e.AbsoluteStart() != r.startSector) continue;
    if (e.kind == engine::kPrimaryEntry) r.mbrKind = kMbrKindPrimary;
    if (e.kind == engine::kLogicalEntry) r.mbrKind = kMbrKindLogical;
    return;
  }
}

}  // namespace

void ClassifyMbrKinds(PartitionList& list) { ClassifyMbrKinds(list, OpenDiskReadOnly); }

void ClassifyMbrKinds(PartitionList& list, const DiskOpener& openDisk) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].partitionStyle != platform::kStyleMbr || list[i].mbrKind != kMbrKindUnknown)
      continue;
    engine::DiskDevice disk;
    if (openDisk(list[i].diskNumber, disk) != engine::DiskResult::kOk) continue;
    // Entries listed before a damaged part of an EBR chain are still right.
    std::vector<engine::PartitionTableEntry> entries;
    if (const engine::DiskResult listed = engine::ReadPartitionTable(disk, entries);
        listed != engine::DiskResult::kOk && listed != engine::DiskResult::kIsGpt) {
      LogLess("disk %d: partition table read ended with %d after %zu entries", list[i].diskNumber,
              ToInt(listed), entries.size());
    }
    for (size_t j = i; j < list.size(); ++j) {
      if (list[j].diskNumber == list[i].diskNumber) ClassifyRecord(list[j], entries);
    }
  }
}

void MarkGptFatDisks(PartitionList& list) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].partitionStyle != platform::kStyleGpt || list[i].gptFatFlag != kGptFatUnknown)
      continue;
    std::vector<size_t> group;
    bool hasFat = false;
    for (size_t j = i; j < list.size(); ++j) {
      if (list[j].diskNumber != list[i].diskNumber) continue;
      group.push_back(j);
      if (list[j].fileSystemName.find(kFatName) != std::string::npos) hasFat = true;
    }
    for (const size_t j : group) list[j].gptFatFlag = hasFat ? kGptFatPresent : kGptFatAbsent;
  }
}

void MarkSystemVolume(PartitionList& list) { MarkSystemVolume(list, platform::SystemVolumeRoot()); }

void MarkSystemVolume(PartitionList& list, const std::string& systemRoot) {
  for (PartitionInfo& r : list) r.systemVolume = r.mountPath == systemRoot ? 1 : 0;
}

}  // namespace stow::discovery
