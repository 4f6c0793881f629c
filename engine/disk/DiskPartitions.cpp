// The partition table of a whole disk: the MBR with its EBR chain or the GPT,
// and the active flag of the MBR's primary entries.
//
// Table sectors are always 512 bytes and are read straight from the device, so
// the boot sector copy (which describes a volume, not a disk) plays no part.
#include <algorithm>
#include <array>
#include <new>

#include "engine/disk/DiskPartitions.h"
#include "engine/disk/PartitionTableParser.h"
#include "support/Enums.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

using platform::BlockDevice;
using platform::IoResult;
using TableSector = std::array<std::byte, kTableSectorSize>;

constexpr uint8_t kBootIndicatorActive = 0x80;
constexpr uint8_t kBootIndicatorInactive = 0x00;

unsigned long long Ull(uint64_t v) { return static_cast<unsigned long long>(v); }

uint64_t DiskSectors(const BlockDevice& device) { return device.Size() / kTableSectorSize; }

// True when `count` sectors from `first` lie on the disk (no overflow on hostile values).
bool SectorsOnDisk(const BlockDevice& device, uint64_t first, uint64_t count) {
  return RangeFits(DiskSectors(device), first, count);
}

// Classifies a positioned read the way ReadFirstSector does: an error with nothing
// read is a failed read, anything less than asked for a short one.
DiskResult ClassifyRead(const IoResult& r, uint64_t wanted, DiskResult shortCode) {
  if (r.bytes == 0 && r.error != 0) return DiskResult::kReadFailed;
  if (r.bytes < wanted) return shortCode;
  return DiskResult::kOk;
}

void AppendMbrEntry(const RawMbrEntry& raw, uint64_t baseSector, PartitionEntryKind kind,
                    std::vector<PartitionTableEntry>& out) {
  PartitionTableEntry e;
  e.raw = raw;
  e.baseSector = baseSector;
  e.kind = kind;
  out.push_back(std::move(e));
}

// Follows the EBR chain of the extended partition starting at `extendedStart`.
// Each EBR's link is relative to the extended partition's start, not to the EBR.
// A chain that revisits a sector, leaves the disk or grows past the cap is a
// hostile table and ends with DiskResult::kBadTable rather than looping or reading on.
DiskResult WalkEbrChain(BlockDevice& device, uint64_t extendedStart,
                        std::vector<PartitionTableEntry>& out) {
  // Sector 0 is the MBR itself; an EBR there is a loop too.
  std::vector<uint64_t> visited{0};
  uint64_t ebr = extendedStart;
  for (uint32_t logicals = 0;; ++logicals) {
    if (logicals == kMaxLogicalEntries) {
      LogLess("EBR chain longer than %u entries, stopped at sector 0x%llx", kMaxLogicalEntries,
              Ull(ebr));
      return DiskResult::kBadTable;
    }
    if (!SectorsOnDisk(device, ebr, 1)) {
      LogLess("EBR at sector 0x%llx lies outside the disk (0x%llx sectors)", Ull(ebr),
              Ull(DiskSectors(device)));
      return DiskResult::kBadTable;
    }
    if (std::find(visited.begin(), visited.end(), ebr) != visited.end()) {
      LogLess("EBR chain loops back to sector 0x%llx", Ull(ebr));
      return DiskResult::kBadTable;
    }
    visited.push_back(ebr);

    TableSector sector{};
    const IoResult r = device.ReadAt(ebr * kTableSectorSize, sector);
    const DiskResult read = ClassifyRead(r, sector.size(), DiskResult::kEbrShortRead);
    if (read == DiskResult::kReadFailed) {
      LogLess("ReadFile error  ,error=%d", r.error);
      return DiskResult::kReadFailed;
    }
    if (read != DiskResult::kOk) {
      LogLess("EBR at sector 0x%llx: short read of %llu bytes", Ull(ebr), Ull(r.bytes));
      return read;
    }
    const ByteView view(sector.data(), sector.size());
    EbrContent content;
    if (!HasBootSignature(view) || !ParseEbr(view, content)) {
      LogLess("EBR at sector 0x%llx has no 0x55AA signature: the chain is damaged", Ull(ebr));
      return DiskResult::kBadTable;
    }
    AppendMbrEntry(content.logical, ebr, kLogicalEntry, out);
    if (content.nextRelative == 0) return DiskResult::kOk;
    ebr = extendedStart + content.nextRelative;
  }
}

DiskResult ReadGptHeader(BlockDevice& device, GptHeader& header) {
  TableSector sector{};
  const IoResult r = device.ReadAt(kGptHeaderLba * kTableSectorSize, sector);
  const DiskResult read = ClassifyRead(r, sector.size(), DiskResult::kShortRead);
  if (read != DiskResult::kOk) {
    LogLess("GPT header read failed, error=0x%x, bytes=%llu", static_cast<unsigned>(r.error),
            Ull(r.bytes));
    return read;
  }
  const char* reason = "";
  const DiskResult parsed = ParseGptHeader(ByteView(sector.data(), sector.size()), header, &reason);
  if (parsed != DiskResult::kOk) LogLess("GPT header refused: %s", reason);
  return parsed;
}

// Lists the GPT's used entries: 0, or the failure of the header or array.
DiskResult ReadGptEntries(BlockDevice& device, std::vector<PartitionTableEntry>& out) {
  GptHeader header;
  const DiskResult headerResult = ReadGptHeader(device, header);
  if (headerResult != DiskResult::kOk) return headerResult;

  const uint64_t readBytes = header.ArrayReadBytes();
  if (!SectorsOnDisk(device, header.entriesLba, readBytes / kTableSectorSize)) {
    LogLess("GPT entry array at sector 0x%llx (%llu bytes) lies outside the disk",
            Ull(header.entriesLba), Ull(readBytes));
    return DiskResult::kBadTable;
  }
  std::vector<std::byte> array;
  try {
    array.resize(static_cast<size_t>(readBytes));
  } catch (const std::bad_alloc&) {
    LogLess("GPT entry array: cannot allocate %llu bytes", Ull(readBytes));
    return DiskResult::kAllocationFailed;
  }
  // A header may declare no entries at all; there is then nothing to read.
  const IoResult r =
      readBytes == 0 ? IoResult{} : device.ReadAt(header.entriesLba * kTableSectorSize, array);
  const DiskResult read = ClassifyRead(r, readBytes, DiskResult::kShortRead);
  if (read != DiskResult::kOk) {
    LogLess("GPT entry array read failed, error=0x%x, bytes=%llu", static_cast<unsigned>(r.error),
            Ull(r.bytes));
    return read;
  }
  const char* reason = "";
  const DiskResult parsed =
      ParseGptEntries(ByteView(array.data(), array.size()), header, out, &reason);
  if (parsed != DiskResult::kOk) LogLess("GPT entry array refused: %s", reason);
  return parsed;
}

}  // namespace

DiskResult ReadPartitionTable(DiskDevice& disk, std::vector<PartitionTableEntry>& out) {
  BlockDevice* device = disk.Device();
  if (device == nullptr) return DiskResult::kNoDevice;
  TableSector sector{};
  const DiskResult read = disk.ReadFirstSector(sector);
  if (read != DiskResult::kOk) return read;

  const ByteView view(sector.data(), sector.size());
  MbrEntries entries;
  if (!HasBootSignature(view) || !ParseMbrEntries(view, entries)) {
    LogLess("ReadPartitionTable: sector 0 has no 0x55AA signature, so no partition table");
    return DiskResult::kNoPartitionTable;
  }
  if (IsProtectiveMbr(entries)) {
    const DiskResult gpt = ReadGptEntries(*device, out);
    return gpt == DiskResult::kOk ? DiskResult::kIsGpt : gpt;
  }

  // Extended entries hold logical partitions, not volumes: they are not listed,
  // and every one of them is walked after the four primary slots.
  std::vector<uint32_t> extendedStarts;
  for (const RawMbrEntry& raw : entries) {
    if (IsExtendedPartitionType(RawEntryType(raw))) {
      extendedStarts.push_back(RawEntryStartingLba(raw));
      continue;
    }
    AppendMbrEntry(raw, 0, kPrimaryEntry, out);
  }
  for (const uint32_t start : extendedStarts) {
    if (const DiskResult walked = WalkEbrChain(*device, start, out); walked != DiskResult::kOk) {
      return walked;
    }
  }
  return DiskResult::kOk;
}

DiskResult SetActivePartition(DiskDevice& disk, unsigned index) {
  BlockDevice* device = disk.Device();
  if (device == nullptr) return DiskResult::kNoDevice;
  TableSector sector{};
  const DiskResult read = disk.ReadFirstSector(sector);
  if (read != DiskResult::kOk) return read;

  const ByteView view(sector.data(), sector.size());
  MbrEntries entries;
  if (!HasBootSignature(view) || !ParseMbrEntries(view, entries)) {
    LogLess("SetActivePartition: sector 0 has no 0x55AA signature, so no partition table");
    return DiskResult::kNoPartitionTable;
  }
  if (IsProtectiveMbr(entries)) return DiskResult::kIsGpt;
  if (index >= kMbrEntryCount) {
    LogLess("SetActivePartition: no primary entry %u", index);
    return DiskResult::kNoSuchEntry;
  }
  for (size_t i = 0; i < kMbrEntryCount; ++i) {
    sector[kMbrEntriesOffset + i * kMbrEntrySize] =
        static_cast<std::byte>(i == index ? kBootIndicatorActive : kBootIndicatorInactive);
  }

  // Positioned writes need no seek, so DiskResult::kSeekFailed has no cause on this device
  // interface; the lock keeps other writers of this program off the disk meanwhile.
  const int lockError = device->Lock();
  if (lockError != 0) {
    LogLess("SetActivePartition: lock failed, error=0x%x", static_cast<unsigned>(lockError));
    return DiskResult::kLockFailedForTable;
  }
  const IoResult w = device->WriteAt(0, sector);
  // A sector that never reaches the disk is not written.
  const bool written = w.bytes == sector.size() && device->Flush() == 0;
  if (const int unlocked = device->Unlock(); unlocked != 0) {
    LogLess("SetActivePartition: unlock failed, error=0x%x", static_cast<unsigned>(unlocked));
  }
  // The table on disk is what matters; the kernel's view may lag.
  if (const DiskResult updated = disk.UpdateDiskProperties(); updated != DiskResult::kOk) {
    LogLess("SetActivePartition: the system was not told of the new table, result=%d",
            ToInt(updated));
  }
  if (!written) {
    LogLess("SetActivePartition: writing sector 0 failed, error=0x%x",
            static_cast<unsigned>(w.error));
    return DiskResult::kWriteFailed;
  }
  return DiskResult::kOk;
}

}  // namespace stow::engine
