// Feeds arbitrary bytes to the MFT reader as a small volume image (boot sector
// and MFT area together, as the seeds cut from real volumes are): the volume
// checks, record 0 and the $MFT's runs, the record cache with its window loads
// and write-back, and the entry list with a small record limit.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/disk/Disk.h"
#include "platform/MemoryBlockDevice.h"
#include "support/Log.h"

using namespace stow;

namespace {

// Large enough for a boot sector, an $MFT and its records; small enough to run fast.
constexpr size_t kMaxVolumeSize = 4 * 1024 * 1024;
constexpr uint64_t kRecordLimit = 48;
constexpr size_t kSectorSize = 512;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CLog::Instance().SetLevel(kLogOff);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxVolumeSize) return 0;
  // Whole sectors, at least one: a boot sector read that comes up short would spend
  // the retry delay on every such input.
  std::vector<std::byte> volume(
      std::max<size_t>(kSectorSize, (size + kSectorSize - 1) / kSectorSize * kSectorSize));
  if (size) std::memcpy(volume.data(), data, size);

  const size_t volumeSize = volume.size();
  engine::CDisk disk;
  disk.Attach(std::make_unique<platform::MemoryBlockDevice>(std::move(volume)), true);
  if (disk.Mft().CheckNtfsVolume() != engine::DiskResult::kOk) return 0;

  uint64_t total = 0;
  const bool nonResidentOnly = size > 0 && (data[size - 1] & 1) != 0;
  const uint64_t visited = disk.Mft().BuildEntryList(total, nonResidentOnly, kRecordLimit);
  if (visited > kRecordLimit || disk.Mft().Entries().size() > visited) __builtin_trap();
  for (const auto& entry : disk.Mft().Entries()) {
    for (const auto& attribute : entry.attributes) {
      if (attribute.size() > engine::kFileRecordSize) __builtin_trap();
    }
  }
  if (disk.Mft().MftRecordCount() > volumeSize / kSectorSize) __builtin_trap();

  // A forced reload with write-back first, a change through the cache and the
  // write-back itself, on a device that accepts writes.
  if (std::byte* record = disk.Mft().ReadFileRecord(1, true, true, true))
    record[100] ^= std::byte{1};
  static_cast<void>(disk.Mft().FlushRecordCache());
  return 0;
}
