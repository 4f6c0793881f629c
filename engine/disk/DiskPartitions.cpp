// The partition table of a whole disk: the MBR with its EBR chain or the GPT,
// and the active flag of the MBR's primary entries.
//
// Table sectors are always 512 bytes and are read straight from the device, so
// the boot sector copy (which describes a volume, not a disk) plays no part.
#include <algorithm>
#include <array>
#include <new>

#include "engine/disk/DiskDevice.h"
#include "engine/disk/PartitionTableParser.h"
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
int ClassifyRead(const IoResult& r, uint64_t wanted, int shortCode) {
  if (r.bytes == 0 && r.error != 0) return kDiskReadFailed;
  if (r.bytes < wanted) return shortCode;
  return kDiskOk;
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
// hostile table and ends with kDiskBadTable rather than looping or reading on.
int WalkEbrChain(BlockDevice& device, uint64_t extendedStart,
                 std::vector<PartitionTableEntry>& out) {
  // Sector 0 is the MBR itself; an EBR there is a loop too.
  std::vector<uint64_t> visited{0};
  uint64_t ebr = extendedStart;
  for (uint32_t logicals = 0;; ++logicals) {
    if (logicals == kMaxLogicalEntries) {
      LogLess("EBR chain longer than %u entries, stopped at sector 0x%llx", kMaxLogicalEntries,
              Ull(ebr));
      return kDiskBadTable;
    }
    if (!SectorsOnDisk(device, ebr, 1)) {
      LogLess("EBR at sector 0x%llx lies outside the disk (0x%llx sectors)", Ull(ebr),
              Ull(DiskSectors(device)));
      return kDiskBadTable;
    }
    if (std::find(visited.begin(), visited.end(), ebr) != visited.end()) {
      LogLess("EBR chain loops back to sector 0x%llx", Ull(ebr));
      return kDiskBadTable;
    }
    visited.push_back(ebr);

    TableSector sector{};
    const IoResult r = device.ReadAt(ebr * kTableSectorSize, sector);
    const int read = ClassifyRead(r, sector.size(), kDiskEbrShortRead);
    if (read == kDiskReadFailed) {
      LogLess("ReadFile error  ,error=%d", r.error);
      return kDiskReadFailed;
    }
    if (read != kDiskOk) {
      LogLess("EBR at sector 0x%llx: short read of %llu bytes", Ull(ebr), Ull(r.bytes));
      return read;
    }
    const ByteView view(sector.data(), sector.size());
    EbrContent content;
    if (!HasBootSignature(view) || !ParseEbr(view, content)) {
      LogLess("EBR at sector 0x%llx has no 0x55AA signature: the chain is damaged", Ull(ebr));
      return kDiskBadTable;
    }
    AppendMbrEntry(content.logical, ebr, kLogicalEntry, out);
    if (content.nextRelative == 0) return kDiskOk;
    ebr = extendedStart + content.nextRelative;
  }
}

int ReadGptHeader(BlockDevice& device, GptHeader& header) {
  TableSector sector{};
  const IoResult r = device.ReadAt(kGptHeaderLba * kTableSectorSize, sector);
  const int read = ClassifyRead(r, sector.size(), kDiskShortRead);
  if (read != kDiskOk) {
    LogLess("GPT header read failed, error=0x%x, bytes=%llu", static_cast<unsigned>(r.error),
            Ull(r.bytes));
    return read;
  }
  const char* reason = "";
  const int parsed = ParseGptHeader(ByteView(sector.data(), sector.size()), header, &reason);
  if (parsed != kDiskOk) LogLess("GPT header refused: %s", reason);
  return parsed;
}

// Lists the GPT's used entries: 0, or the failure of the header or array.
int ReadGptEntries(BlockDevice& device, std::vector<PartitionTableEntry>& out) {
  GptHeader header;
  const int headerResult = ReadGptHeader(device, header);
  if (headerResult != kDiskOk) return headerResult;

  const uint64_t readBytes = header.ArrayReadBytes();
  if (!SectorsOnDisk(device, header.entriesLba, readBytes / kTableSectorSize)) {
    LogLess("GPT entry array at sector 0x%llx (%llu bytes) lies outside the disk",
            Ull(header.entriesLba), Ull(readBytes));
    return kDiskBadTable;
  }
  std::vector<std::byte> array;
  try {
    array.resize(static_cast<size_t>(readBytes));
  } catch (const std::bad_alloc&) {
    LogLess("GPT entry array: cannot allocate %llu bytes", Ull(readBytes));
    return kDiskAllocationFailed;
  }
  // A header may declare no entries at all; there is then nothing to read.
  const IoResult r =
      readBytes == 0 ? IoResult{} : device.ReadAt(header.entriesLba * kTableSectorSize, array);
  const int read = ClassifyRead(r, readBytes, kDiskShortRead);
  if (read != kDiskOk) {
    LogLess("GPT entry array read failed, error=0x%x, bytes=%llu", static_cast<unsigned>(r.error),
            Ull(r.bytes));
    return read;
  }
  const char* reason = "";
  const int parsed = ParseGptEntries(ByteView(array.data(), array.size()), header, out, &reason);
  if (parsed != kDiskOk) LogLess("GPT entry array refused: %s", reason);
  return parsed;
}

}  // namespace

int DiskDevice::ReadPartitionTable(std::vector<PartitionTableEntry>& out) {
  if (!device_) return kDiskNoDevice;
  TableSector sector{};
  const int read = ReadFirstSector(sector);
  if (read != kDiskOk) return read;

  const ByteView view(sector.data(), sector.size());
  MbrEntries entries;
  if (!HasBootSignature(view) || !ParseMbrEntries(view, entries)) {
    LogLess("ReadPartitionTable: sector 0 has no 0x55AA signature, so no partition table");
    return kDiskNoPartitionTable;
  }
  if (IsProtectiveMbr(entries)) {
    const int gpt = ReadGptEntries(*device_, out);
    return gpt == kDiskOk ? kDiskIsGpt : gpt;
  }

  // Extended entries hold logical partitions, not volumes: they are not listed,
  // and every one of them is walked after the four primary slots.
  extendedEntry_.fill(0);
  std::vector<uint32_t> extendedStarts;
  for (const RawMbrEntry& raw : entries) {
    if (IsExtendedPartitionType(RawEntryType(raw))) {
      if (extendedStarts.empty()) extendedEntry_ = raw;
      extendedStarts.push_back(RawEntryStartingLba(raw));
      continue;
    }
    AppendMbrEntry(raw, 0, kPrimaryEntry, out);
  }
  for (const uint32_t start : extendedStarts) {
    if (const int walked = WalkEbrChain(*device_, start, out); walked != kDiskOk) return walked;
  }
  return kDiskOk;
}

int DiskDevice::SetActivePartition(unsigned index) {
  TableSector sector{};
  const int read = ReadFirstSector(sector);
  if (read != kDiskOk) return read;

  const ByteView view(sector.data(), sector.size());
  MbrEntries entries;
  if (!HasBootSignature(view) || !ParseMbrEntries(view, entries)) {
    LogLess("SetActivePartition: sector 0 has no 0x55AA signature, so no partition table");
    return kDiskNoPartitionTable;
  }
  if (IsProtectiveMbr(entries)) return kDiskIsGpt;
  if (index >= kMbrEntryCount) {
    LogLess("SetActivePartition: no primary entry %u", index);
    return kDiskNoSuchEntry;
  }
  for (size_t i = 0; i < kMbrEntryCount; ++i) {
    sector[kMbrEntriesOffset + i * kMbrEntrySize] =
        static_cast<std::byte>(i == index ? kBootIndicatorActive : kBootIndicatorInactive);
  }

  // Positioned writes need no seek, so kDiskSeekFailed has no cause on this device
  // interface; the lock keeps other writers of this program off the disk meanwhile.
  const int lockError = device_->Lock();
  if (lockError != 0) {
    LogLess("SetActivePartition: lock failed, error=0x%x", static_cast<unsigned>(lockError));
    return kDiskLockFailedForTable;
  }
  const IoResult w = device_->WriteAt(0, sector);
  // A sector that never reaches the disk is not written.
  const bool written = w.bytes == sector.size() && device_->Flush() == 0;
  if (const int unlocked = device_->Unlock(); unlocked != 0) {
    LogLess("SetActivePartition: unlock failed, error=0x%x", static_cast<unsigned>(unlocked));
  }
  // The table on disk is what matters; the kernel's view may lag.
  if (const int updated = UpdateDiskProperties(); updated != kDiskOk) {
    LogLess("SetActivePartition: the system was not told of the new table, result=%d", updated);
  }
  if (!written) {
    LogLess("SetActivePartition: writing sector 0 failed, error=0x%x",
            static_cast<unsigned>(w.error));
    return kDiskWriteFailed;
  }
  return kDiskOk;
}

}  // namespace stow::engine
