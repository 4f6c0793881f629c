// Feeds arbitrary bytes to the inventory's NTFS readers as the start of a volume:
// the cluster size from the boot sector, then the free-space count from record 6
// ($Bitmap) and the bitmap its runs name. The device is zero-padded to the size the
// boot sector claims (up to a cap), so that seeds cut from small real volumes keep
// their geometry.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "discovery/NtfsVolume.h"
#include "engine/disk/Disk.h"
#include "platform/MemoryBlockDevice.h"
#include "support/Log.h"

using namespace stow;

namespace {

constexpr size_t kMaxVolumeSize = 4 * 1024 * 1024;
constexpr size_t kSectorSize = 512;
constexpr size_t kBytesPerSectorOffset = 11;
constexpr size_t kTotalSectorsOffset = 40;

size_t RoundUp(size_t n) { return (n + kSectorSize - 1) / kSectorSize * kSectorSize; }

// The device size: the input, or the boot sector's volume plus its backup sector.
size_t DeviceSize(const uint8_t* data, size_t size) {
  size_t device = std::max(kSectorSize, RoundUp(size));
  const ByteView boot(data, size);
  const uint64_t sectorSize = boot.U16(kBytesPerSectorOffset);
  const uint64_t sectors = boot.U64(kTotalSectorsOffset);
  if (!boot.Ok() || sectorSize == 0 || sectors >= kMaxVolumeSize / sectorSize) return device;
  return std::max<size_t>(device, RoundUp((sectors + 1) * sectorSize));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CLog::Instance().SetLevel(kLogOff);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxVolumeSize) return 0;
  std::vector<std::byte> volume(DeviceSize(data, size));
  if (size) std::memcpy(volume.data(), data, size);
  const uint64_t deviceSize = volume.size();

  engine::CDisk disk;
  disk.Attach(std::make_unique<platform::MemoryBlockDevice>(std::move(volume)), true);
  const uint32_t clusterSize = discovery::NtfsClusterSize(
      Bytes(disk.Device().BootSector().data(), disk.Device().BootSector().size()));
  if (clusterSize != 0 && (clusterSize & (clusterSize - 1)) != 0) __builtin_trap();

  discovery::NtfsSpace space;
  if (discovery::ReadNtfsFreeSpace(disk, space) != discovery::kNtfsSpaceOk) return 0;
  if (space.clusterSize != clusterSize || space.freeClusters > space.totalClusters) {
    __builtin_trap();
  }
  if (space.totalClusters * space.clusterSize > deviceSize) __builtin_trap();
  return 0;
}
