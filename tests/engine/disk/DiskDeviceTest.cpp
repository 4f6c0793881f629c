// Sector addressing and the retry policy of DiskDevice over a memory device.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/disk/DiskDevice.h"
#include "platform/MemoryBlockDevice.h"
#include "support/Bytes.h"

namespace stow::engine {
namespace {

using platform::MemoryBlockDevice;

struct Fixture {
  DiskDevice disk;
  MemoryBlockDevice* device = nullptr;

  explicit Fixture(uint16_t bytesPerSector, uint64_t size = 64 * 1024) {
    auto dev = std::make_unique<MemoryBlockDevice>(size);
    StoreLe16(&dev->Data()[11], bytesPerSector);
    for (size_t i = 4096; i < size; ++i) dev->Data()[i] = static_cast<std::byte>(i & 0xFF);
    device = dev.get();
    disk.Attach(std::move(dev), true);
  }
};

TEST(CDiskTransfers, ZeroBytesPerSectorAddressesIn512ByteSectors) {
  Fixture f(0);
  std::byte buffer[16];
  ASSERT_EQ(f.disk.ReadPointData(buffer, sizeof buffer, 10), sizeof buffer);
  EXPECT_EQ(std::memcmp(buffer, &f.device->Data()[5120], sizeof buffer), 0);

  const std::byte pattern[4] = {std::byte{1}, std::byte{2}, std::byte{3}, std::byte{4}};
  ASSERT_EQ(f.disk.WritePointData(pattern, sizeof pattern, 12), sizeof pattern);
  EXPECT_EQ(std::memcmp(pattern, &f.device->Data()[6144], sizeof pattern), 0);
}

TEST(CDiskTransfers, SectorSizeFromTheBootSectorIsUsed) {
  Fixture f(4096);
  std::byte buffer[8];
  ASSERT_EQ(f.disk.ReadPointData(buffer, sizeof buffer, 2), sizeof buffer);
  EXPECT_EQ(std::memcmp(buffer, &f.device->Data()[8192], sizeof buffer), 0);
}

TEST(CDiskTransfers, ReadRetriesOnceThenFailsWithZeroNotThePartialCount) {
  Fixture f(512);
  std::byte buffer[512];
  const int before = f.device->ReadCalls();
  f.device->FailReads(1);
  EXPECT_EQ(f.disk.ReadPointData(buffer, sizeof buffer, 8), sizeof buffer);
  EXPECT_EQ(f.device->ReadCalls() - before, 2);

  f.device->FailReads(2, 100);  // two short reads
  EXPECT_EQ(f.disk.ReadPointData(buffer, sizeof buffer, 8), 0u);
  EXPECT_EQ(f.device->ReadCalls() - before, 4);
}

TEST(CDiskTransfers, WriteTriesFiveTimes) {
  Fixture f(512);
  std::byte buffer[512] = {};
  f.device->FailWrites(4);
  EXPECT_EQ(f.disk.WritePointData(buffer, sizeof buffer, 8), sizeof buffer);
  EXPECT_EQ(f.device->WriteCalls(), 5);
  f.device->FailWrites(5);
  EXPECT_EQ(f.disk.WritePointData(buffer, sizeof buffer, 8), 0u);
  EXPECT_EQ(f.device->WriteCalls(), 10);
}

TEST(CDiskTransfers, ReadFirstSectorResults) {
  DiskDevice closed;
  std::array<std::byte, 512> sector{};
  EXPECT_EQ(closed.ReadFirstSector(sector), DiskResult::kNoDevice);
  EXPECT_EQ(closed.ReadPointData(sector.data(), 512, 0), 0u);

  DiskDevice small;
  small.Attach(std::make_unique<MemoryBlockDevice>(100), false);
  EXPECT_EQ(small.ReadFirstSector(sector), DiskResult::kShortRead);

  Fixture f(512);
  f.device->FailReads(1);
  EXPECT_EQ(f.disk.ReadFirstSector(sector), DiskResult::kReadFailed);
  EXPECT_EQ(f.disk.ReadFirstSector(sector), DiskResult::kOk);
}

TEST(CDiskLocking, LockResults) {
  DiskDevice closed;
  EXPECT_EQ(closed.LockDisk(), DiskResult::kLockNoDevice);
  Fixture f(512);
  f.device->RefuseLock(true);
  EXPECT_EQ(f.disk.LockDisk(), DiskResult::kLockRefused);
  f.device->RefuseLock(false);
  EXPECT_EQ(f.disk.LockDisk(), DiskResult::kOk);
  EXPECT_TRUE(f.device->Locked());
  EXPECT_TRUE(f.disk.UnlockDisk());
  EXPECT_FALSE(f.device->Locked());
}

TEST(CDiskOpen, AMissingDeviceCannotBeOpened) {
  DiskDevice disk;
  EXPECT_EQ(disk.InitDisk(platform::VolumeId("/nonexistent/volume"), true),
            DiskResult::kOpenFailed);
  EXPECT_FALSE(disk.IsOpen());
  EXPECT_EQ(disk.OpenPhysicalDrivePath("/nonexistent/disk"), DiskResult::kOpenFailed);
}

}  // namespace
}  // namespace stow::engine
