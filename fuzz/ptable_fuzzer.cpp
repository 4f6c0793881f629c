// Feeds arbitrary bytes to the partition-table reader as a whole disk of
// 512-byte sectors, then to the active-flag writer and the entry helpers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/disk/DiskPartitions.h"
#include "engine/disk/PartitionTableParser.h"
#include "platform/MemoryBlockDevice.h"
#include "support/Log.h"

using namespace stow;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Rejections log a line each; the fuzzer needs none of them on disk.
  CLog::Instance().SetLevel(kLogOff);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::byte> disk(size);
  if (size) std::memcpy(disk.data(), data, size);

  engine::DiskDevice reader;
  reader.Attach(std::make_unique<platform::MemoryBlockDevice>(disk), false);
  std::vector<engine::PartitionTableEntry> entries;
  const engine::DiskResult result = engine::ReadPartitionTable(reader, entries);
  // However hostile the chain, an MBR disk lists at most four primaries and the cap.
  if (result == engine::DiskResult::kOk && entries.size() > 4 + engine::kMaxLogicalEntries) {
    __builtin_trap();
  }
  for (const auto& e : entries) {
    if (e.kind == engine::kGptEntry && engine::GuidToString(e.typeGuid).size() != 36) {
      __builtin_trap();
    }
    (void)e.AbsoluteStart();
    (void)e.LengthSectors();
  }

  // The writer flips boot flags on its own copy; the index comes from the data.
  engine::DiskDevice writer;
  writer.Attach(std::make_unique<platform::MemoryBlockDevice>(std::move(disk)), false);
  static_cast<void>(engine::SetActivePartition(writer, size ? data[size - 1] % 5u : 0u));
  return 0;
}
