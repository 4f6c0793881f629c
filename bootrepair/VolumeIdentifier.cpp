#include "bootrepair/VolumeIdentifier.h"

#include <array>

#include "engine/disk/DiskPartitions.h"
#include "engine/disk/PartitionTableParser.h"
#include "platform/PartitionParent.h"
#include "support/Enums.h"
#include "support/Log.h"

namespace stow::bootrepair {
namespace {

using engine::DiskDevice;
using engine::PartitionTableEntry;

constexpr size_t kBootSignatureOffset = 510;
constexpr uint16_t kBootSignature = 0xAA55;
constexpr uint64_t kSectorBytes = engine::kTableSectorSize;

void AppendLe32(VolumeIdentifier& out, uint32_t v) {
  std::array<std::byte, 4> b{};
  StoreLe32(b.data(), v);
  out.insert(out.end(), b.begin(), b.end());
}
void AppendLe64(VolumeIdentifier& out, uint64_t v) {
  std::array<std::byte, 8> b{};
  StoreLe64(b.data(), v);
  out.insert(out.end(), b.begin(), b.end());
}

unsigned long long Ull(uint64_t v) { return static_cast<unsigned long long>(v); }

// The GPT header's disk GUID; the header is checked again, as the table walk
// only proved it valid at the time it ran.
[[nodiscard]] LocateResult ReadGptDiskGuid(DiskDevice& disk, engine::Guid& out) {
  std::array<std::byte, engine::kTableSectorSize> sector{};
  const platform::IoResult r = disk.Device()->ReadAt(engine::kGptHeaderLba * kSectorBytes, sector);
  if (r.bytes != sector.size()) return kLocateDiskUnreadable;
  const ByteView view(sector.data(), sector.size());
  engine::GptHeader header;
  if (engine::ParseGptHeader(view, header) != engine::DiskResult::kOk) return kLocateDiskUnreadable;
  for (size_t i = 0; i < out.size(); ++i) out[i] = view.U8(kGptHeaderDiskGuidOffset + i);
  return kLocateOk;
}

[[nodiscard]] LocateResult LocateOnMbr(DiskDevice& disk,
                                       const std::vector<PartitionTableEntry>& entries,
                                       uint64_t startSector, PartitionLocation& out) {
  std::array<std::byte, engine::kBootSectorSize> sector{};
  if (disk.ReadFirstSector(sector) != engine::DiskResult::kOk) return kLocateDiskUnreadable;
  const ByteView view(sector.data(), sector.size());
  if (view.U16(kBootSignatureOffset) != kBootSignature) return kLocateRawDisk;
  for (const PartitionTableEntry& entry : entries) {
    // An unused slot (type 0) describes no partition, whatever its start says.
    if (entry.Type() == 0 || entry.AbsoluteStart() != startSector) continue;
    out.style = platform::kStyleMbr;
    out.mbrSignature = view.U32(kMbrSignatureOffset);
    out.byteOffset = startSector * kSectorBytes;
    return kLocateOk;
  }
  return kLocateNoEntry;
}

[[nodiscard]] LocateResult LocateOnGpt(DiskDevice& disk,
                                       const std::vector<PartitionTableEntry>& entries,
                                       uint64_t startSector, PartitionLocation& out) {
  for (const PartitionTableEntry& entry : entries) {
    if (entry.kind != engine::kGptEntry || entry.firstLba != startSector) continue;
    engine::Guid diskGuid{};
    const LocateResult read = ReadGptDiskGuid(disk, diskGuid);
    if (read != kLocateOk) return read;
    out.style = platform::kStyleGpt;
    out.diskGuid = diskGuid;
    out.partitionGuid = entry.uniqueGuid;
    out.byteOffset = startSector * kSectorBytes;
    return kLocateOk;
  }
  return kLocateNoEntry;
}

}  // namespace

constexpr EnumLabel<LocateResult> kLocateResultLabels[] = {
    {kLocateOk, "located"},
    {kLocateNoParentDisk, "not a partition of a disk"},
    {kLocateDiskUnreadable, "the disk or its partition table cannot be read"},
    {kLocateNoEntry, "no partition table entry starts at the partition's first sector"},
    {kLocateRawDisk, "the disk has no MBR or GPT partition table"},
};

const char* LocateResultText(LocateResult result) { return LabelOf(kLocateResultLabels, result); }

VolumeIdentifier MbrVolumeIdentifier(uint32_t diskSignature, uint64_t byteOffset) {
  VolumeIdentifier id;
  id.reserve(kMbrIdentifierSize);
  AppendLe32(id, diskSignature);
  AppendLe64(id, byteOffset);
  return id;
}

VolumeIdentifier GptVolumeIdentifier(const engine::Guid& partitionGuid) {
  VolumeIdentifier id;
  id.reserve(kGptIdentifierSize);
  for (size_t i = 0; i < kGptIdentifierPrefixSize; ++i) {
    id.push_back(static_cast<std::byte>(kGptIdentifierPrefix[i]));
  }
  for (const uint8_t b : partitionGuid) id.push_back(static_cast<std::byte>(b));
  return id;
}

VolumeIdentifier MountedDevicesIdentifier(const PartitionLocation& location) {
  if (location.style == platform::kStyleMbr) {
    return MbrVolumeIdentifier(location.mbrSignature, location.byteOffset);
  }
  if (location.style == platform::kStyleGpt) return GptVolumeIdentifier(location.partitionGuid);
  return {};
}

LocateResult LocatePartitionOnDisk(DiskDevice& disk, uint64_t startSector, PartitionLocation& out) {
  if (!disk.IsOpen()) return kLocateDiskUnreadable;
  // A start whose byte offset does not fit in 64 bits is on no real disk.
  if (startSector > UINT64_MAX / kSectorBytes) return kLocateNoEntry;
  std::vector<PartitionTableEntry> entries;
  const engine::DiskResult table = engine::ReadPartitionTable(disk, entries);
  PartitionLocation found;
  LocateResult result = kLocateDiskUnreadable;
  if (table == engine::DiskResult::kOk) {
    result = LocateOnMbr(disk, entries, startSector, found);
  } else if (table == engine::DiskResult::kIsGpt) {
    result = LocateOnGpt(disk, entries, startSector, found);
  } else if (table == engine::DiskResult::kNoPartitionTable) {
    result = kLocateRawDisk;
  }
  if (result == kLocateOk) out = found;
  return result;
}

LocateResult LocatePartition(const platform::VolumeId& volume, PartitionLocation& out) {
  platform::PartitionPlacement placement;
  const int placed = platform::QueryPartitionPlacement(volume.DevicePath(), placement);
  if (placed != 0) {
    LogDebug("Locate %s: no partition of a disk, error=0x%x", volume.DisplayName().c_str(),
             static_cast<unsigned>(placed));
    return kLocateNoParentDisk;
  }
  DiskDevice disk;
  if (disk.OpenPhysicalDrivePath(placement.diskPath, true) != engine::DiskResult::kOk) {
    LogDebug("Locate %s: open %s failed, error=0x%x", volume.DisplayName().c_str(),
             placement.diskPath.c_str(), static_cast<unsigned>(disk.LastOpenError()));
    return kLocateDiskUnreadable;
  }
  const LocateResult result = LocatePartitionOnDisk(disk, placement.startSector, out);
  if (result != kLocateOk) {
    LogDebug("Locate %s on %s at sector %llu: %s", volume.DisplayName().c_str(),
             placement.diskPath.c_str(), Ull(placement.startSector), LocateResultText(result));
  }
  return result;
}

LocateResult ComputeVolumeIdentifier(const platform::VolumeId& volume, VolumeIdentifier& out) {
  PartitionLocation location;
  const LocateResult result = LocatePartition(volume, location);
  if (result == kLocateOk) out = MountedDevicesIdentifier(location);
  return result;
}

}  // namespace stow::bootrepair
