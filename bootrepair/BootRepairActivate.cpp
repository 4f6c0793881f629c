// The active flag of the boot partition in an MBR disk's sector 0.
#include <array>
#include <vector>

#include "bootrepair/BootRepair.h"
#include "engine/disk/DiskPartitions.h"
#include "support/Enums.h"
#include "support/Log.h"

namespace stow::bootrepair {
namespace {

using engine::PartitionTableEntry;

constexpr unsigned kMbrSlots = 4;

// The slot (0..3) of sector 0 that holds the primary entry `entry`, found by
// its bytes: the table listing leaves out the extended entry, so a position
// in the list is not a slot. kMbrSlots when it is not there.
unsigned SlotOf(engine::DiskDevice& disk, const PartitionTableEntry& entry) {
  std::array<std::byte, engine::kBootSectorSize> sector{};
  if (disk.ReadFirstSector(sector) != engine::DiskResult::kOk) return kMbrSlots;
  for (unsigned slot = 0; slot < kMbrSlots; ++slot) {
    bool same = true;
    for (size_t i = 0; i < engine::kMbrEntrySize && same; ++i) {
      same =
          static_cast<uint8_t>(
              sector[engine::kMbrEntriesOffset + slot * engine::kMbrEntrySize + i]) == entry.raw[i];
    }
    if (same) return slot;
  }
  return kMbrSlots;
}

// The first primary entry that starts at `startSector`. Logical entries are
// never taken: their start is counted from their own table sector, and a
// logical partition cannot be made active anyway.
const PartitionTableEntry* FindPrimaryEntry(const std::vector<PartitionTableEntry>& entries,
                                            uint64_t startSector) {
  for (const PartitionTableEntry& entry : entries) {
    if (entry.kind != engine::kPrimaryEntry || entry.Type() == 0) continue;
    if (static_cast<uint64_t>(entry.StartingLba()) == startSector) return &entry;
  }
  return nullptr;
}

}  // namespace

ActivateResult ActivateBootPartition(const std::string& partitionPath) {
  const char* path = partitionPath.c_str();
  platform::VolumeHandle handle;
  if (const int error = handle.Open(partitionPath); error != 0) {
    LogLess("When setting active partition,open %s failed,error=0x%x", path, error);
    return ActivateResult::kOpenFailed;
  }
  uint64_t startingOffset = 0;
  uint32_t sectorSize = 0;
  int error = handle.QueryStartingOffset(startingOffset);
  if (error == 0) error = handle.QueryBytesPerSector(sectorSize);
  if (error == 0 && sectorSize == 0) error = EINVAL;
  if (error != 0) {
    LogLess("When setting active partition,get disk %s information failed,error=0x%x", path, error);
    return ActivateResult::kNoPartitionInfo;
  }
  // Table entries count the disk's own logical sectors.
  const uint64_t startSector = startingOffset / sectorSize;
  platform::DeviceNumber number;
  if (error = handle.QueryDeviceNumber(number); error != 0) {
    LogLess("when copy BCD,DeviceIoControl 1 failed , error=0x%x path:%s", error, path);
    return ActivateResult::kNoDiskNumber;
  }
  engine::DiskDevice disk;
  std::vector<PartitionTableEntry> entries;
  if (disk.OpenPhysicalDrive(number.deviceNumber) != engine::DiskResult::kOk) {
    LogLess("When setting active partition,open disk %d of %s failed", number.deviceNumber, path);
  } else if (const engine::DiskResult listed = engine::ReadPartitionTable(disk, entries);
             listed != engine::DiskResult::kOk && listed != engine::DiskResult::kIsGpt) {
    // Entries listed before a damaged part of an EBR chain still count.
    LogLess("When setting active partition,reading the table of disk %d ended with %d",
            number.deviceNumber, ToInt(listed));
  }
  const PartitionTableEntry* entry = FindPrimaryEntry(entries, startSector);
  const unsigned slot = entry ? SlotOf(disk, *entry) : kMbrSlots;
  if (slot >= kMbrSlots) {
    LogLess("set :%s active fail !", path);
    return ActivateResult::kNoEntry;
  }
  const engine::DiskResult written = engine::SetActivePartition(disk, slot);
  if (written != engine::DiskResult::kOk) {
    LogLess("set :%s part : %u active failed, error=%d", path, slot, ToInt(written));
    return ActivateResult::kWriteFailed;
  }
  LogLess("set :%s part : %u active", path, slot);
  return ActivateResult::kOk;
}

}  // namespace stow::bootrepair
