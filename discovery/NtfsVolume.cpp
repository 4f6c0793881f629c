#include "discovery/NtfsVolume.h"

#include <algorithm>
#include <bit>
#include <vector>

#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/ntfs/RunList.h"
#include "support/Enums.h"

namespace stow::discovery {
namespace {

constexpr char kNtfsOemId[] = "NTFS    ";
constexpr size_t kNtfsOemIdSize = sizeof kNtfsOemId - 1;
constexpr size_t kBytesPerSectorOffset = 11;
constexpr size_t kSectorsPerClusterOffset = 13;
constexpr size_t kTotalSectorsOffset = 40;
constexpr unsigned kSectorsPerClusterExponentBase = 256;
constexpr uint64_t kBitsPerByte = 8;
// Bitmap bytes read at a time; a multiple of every sector size.
constexpr uint32_t kBitmapChunk = 1024 * 1024;
// 2^33 clusters: 32 TiB of 4 KiB clusters, 256 TiB of 64 KiB ones.
constexpr uint64_t kMaxBitmapBytes = uint64_t{1} << 30;

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The sectors-per-cluster byte: 1..128 as is, 0xF4.. as 2^(256 - value).
uint64_t SectorsPerCluster(uint8_t raw) {
  if (raw == 0) return 0;
  if (raw <= kNtfsMaxPlainSectorsPerCluster) return IsPowerOfTwo(raw) ? raw : 0;
  const unsigned exponent = kSectorsPerClusterExponentBase - raw;
  return exponent < 32 ? uint64_t{1} << exponent : 0;
}

// The unnamed non-resident $DATA attribute of a record.
bool FindUnnamedData(Bytes record, Bytes& attribute) {
  engine::ntfs::AttributeWalker walk(record);
  for (engine::ntfs::Attribute a; walk.Next(a);) {
    if (a.type == engine::ntfs::kAttrData && a.nameLength == 0 && a.nonResident) {
      attribute = a.bytes;
      return true;
    }
  }
  return false;
}

// Where the bitmap's bytes lie: every byte of [0, byteCount) in a run, and every
// run inside the volume's `volumeBytes`. A bitmap with a hole, or one that names
// clusters past the volume, is damaged; nothing is read for it.
bool MapBitmap(const std::vector<engine::ntfs::DataRun>& runs, uint64_t clusterSize,
               uint64_t byteCount, uint64_t volumeBytes, uint32_t sectorSize,
               std::vector<engine::ntfs::VolumeExtent>& pieces) {
  engine::ntfs::MapStreamRange(runs, clusterSize, 0, byteCount, pieces);
  uint64_t covered = 0;
  for (const engine::ntfs::VolumeExtent& piece : pieces) {
    if (piece.streamOffset != covered || piece.volumeOffset % sectorSize != 0 ||
        !RangeFits(volumeBytes, piece.volumeOffset, piece.length)) {
      return false;
    }
    covered += piece.length;
  }
  return covered == byteCount;
}

// Reads the mapped bitmap and counts its clear bits among the first `bitCount`.
[[nodiscard]] NtfsSpaceResult CountMappedClearBits(
    engine::CDisk& disk, const std::vector<engine::ntfs::VolumeExtent>& pieces, uint64_t bitCount,
    uint64_t& clear) {
  const uint32_t sectorSize = disk.Device().AddressingSectorSize();
  std::vector<std::byte> chunk(kBitmapChunk);
  clear = 0;
  for (const engine::ntfs::VolumeExtent& piece : pieces) {
    for (uint64_t done = 0; done < piece.length;) {
      const auto count =
          static_cast<uint32_t>(std::min<uint64_t>(kBitmapChunk, piece.length - done));
      if (disk.Device().ReadPointData(chunk.data(), count,
                                      (piece.volumeOffset + done) / sectorSize) != count) {
        return kNtfsSpaceReadFailed;
      }
      const uint64_t firstBit = (piece.streamOffset + done) * kBitsPerByte;
      const uint64_t bits = std::min<uint64_t>(uint64_t{count} * kBitsPerByte, bitCount - firstBit);
      clear += CountClearBits(Bytes(chunk.data(), count), bits);
      done += count;
    }
  }
  return kNtfsSpaceOk;
}

}  // namespace

uint32_t NtfsClusterSize(Bytes bootSector) {
  const ByteView view(bootSector);
  if (!view.Equals(kNtfsOemIdOffset, kNtfsOemId, kNtfsOemIdSize)) return 0;
  const uint32_t sectorSize = view.U16(kBytesPerSectorOffset);
  if (!IsPowerOfTwo(sectorSize) || sectorSize < kNtfsMinSectorSize ||
      sectorSize > kNtfsMaxSectorSize) {
    return 0;
  }
  const uint64_t perCluster = SectorsPerCluster(view.U8(kSectorsPerClusterOffset));
  const uint64_t clusterSize = perCluster * sectorSize;
  if (!view.Ok() || perCluster == 0 || clusterSize > kNtfsMaxClusterSize) return 0;
  return static_cast<uint32_t>(clusterSize);
}

uint64_t CountClearBits(Bytes bitmap, uint64_t bitCount) {
  const uint64_t whole = std::min<uint64_t>(bitCount / kBitsPerByte, bitmap.size());
  uint64_t set = 0;
  for (uint64_t i = 0; i < whole; ++i) set += std::popcount(static_cast<uint8_t>(bitmap[i]));
  uint64_t counted = whole * kBitsPerByte;
  const uint64_t rest = bitCount % kBitsPerByte;
  if (rest != 0 && whole < bitmap.size()) {
    const auto mask = static_cast<uint8_t>((1u << rest) - 1);
    set += std::popcount(static_cast<uint8_t>(static_cast<uint8_t>(bitmap[whole]) & mask));
    counted += rest;
  }
  return counted - set;
}

NtfsSpaceResult ReadNtfsFreeSpace(engine::CDisk& disk, NtfsSpace& out) {
  const Bytes boot(disk.Device().BootSector().data(), disk.Device().BootSector().size());
  const uint32_t clusterSize = NtfsClusterSize(boot);
  // The record reader handles only the geometries CheckNtfsVolume accepts.
  if (clusterSize == 0 || disk.Mft().CheckNtfsVolume() != engine::DiskResult::kOk ||
      clusterSize != disk.Device().ClusterSize()) {
    return kNtfsSpaceNotNtfs;
  }
  const uint64_t totalSectors = ByteView(boot).U64(kTotalSectorsOffset);
  const uint64_t sectorSize = clusterSize / disk.Device().SectorsPerCluster();
  const uint64_t totalClusters = totalSectors / disk.Device().SectorsPerCluster();
  const uint64_t deviceSize = disk.Device().Device() ? disk.Device().Device()->Size() : 0;
  if (totalClusters == 0 || totalSectors > deviceSize / sectorSize) return kNtfsSpaceBadGeometry;
  const uint64_t bitmapBytes = (totalClusters + kBitsPerByte - 1) / kBitsPerByte;
  if (bitmapBytes > kMaxBitmapBytes) return kNtfsSpaceBadGeometry;

  const std::byte* fetched = disk.Mft().ReadFileRecord(kNtfsBitmapRecord, false, true, false);
  if (fetched == nullptr) return kNtfsSpaceNoRecord;
  const Bytes record(fetched, engine::kFileRecordSize);
  // A record marked "BAAD" by a disk check, or free, describes no bitmap.
  if (!engine::ntfs::HasFileSignature(record) || !engine::ntfs::RecordInUse(record)) {
    return kNtfsSpaceNoRecord;
  }
  Bytes attribute;
  engine::ntfs::NonResidentHeader header;
  std::vector<engine::ntfs::DataRun> runs;
  if (!FindUnnamedData(record, attribute) ||
      !engine::ntfs::ReadNonResidentHeader(attribute, header) || header.dataSize < bitmapBytes ||
      engine::ntfs::DecodeAttributeRuns(attribute, runs) != engine::ntfs::RunListError::kNone) {
    return kNtfsSpaceBadBitmap;
  }
  std::vector<engine::ntfs::VolumeExtent> pieces;
  if (!MapBitmap(runs, clusterSize, bitmapBytes, totalClusters * clusterSize,
                 disk.Device().AddressingSectorSize(), pieces)) {
    return kNtfsSpaceBadBitmap;
  }
  uint64_t clear = 0;
  const NtfsSpaceResult counted = CountMappedClearBits(disk, pieces, totalClusters, clear);
  if (counted != kNtfsSpaceOk) return counted;
  out.clusterSize = clusterSize;
  out.totalClusters = totalClusters;
  out.freeClusters = clear;
  return kNtfsSpaceOk;
}

constexpr EnumLabel<NtfsSpaceResult> kNtfsSpaceResultLabels[] = {
    {kNtfsSpaceOk, "no error"},
    {kNtfsSpaceNotNtfs, "not an NTFS volume the reader handles"},
    {kNtfsSpaceBadGeometry, "the boot sector's size does not fit the device"},
    {kNtfsSpaceNoRecord, "record 6 ($Bitmap) cannot be read"},
    {kNtfsSpaceBadBitmap, "the $Bitmap's data attribute is damaged or does not cover the volume"},
    {kNtfsSpaceReadFailed, "reading the bitmap failed"},
};

const char* NtfsSpaceResultText(NtfsSpaceResult result) {
  return LabelOf(kNtfsSpaceResultLabels, result, "unknown result");
}

}  // namespace stow::discovery
