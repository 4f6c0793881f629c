// The cluster size read from an NTFS boot sector, mutated one field at a time, and
// the bit counting of the free-space reader.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "discovery/NtfsVolume.h"

namespace stow::discovery {
namespace {

constexpr size_t kBytesPerSectorOffset = 11;
constexpr size_t kSectorsPerClusterOffset = 13;

std::array<std::byte, 512> NtfsBootSector(uint16_t bytesPerSector, uint8_t sectorsPerCluster) {
  std::array<std::byte, 512> sector{};
  std::memcpy(&sector[kNtfsOemIdOffset], "NTFS    ", 8);
  StoreLe16(&sector[kBytesPerSectorOffset], bytesPerSector);
  sector[kSectorsPerClusterOffset] = std::byte{sectorsPerCluster};
  return sector;
}

uint32_t ClusterSizeOf(const std::array<std::byte, 512>& sector) {
  return NtfsClusterSize(Bytes(sector.data(), sector.size()));
}

TEST(NtfsClusterSize, FromSectorSizeAndSectorsPerCluster) {
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(512, 8)), 4096u);
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(512, 1)), 512u);
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(512, 128)), 65536u);
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(4096, 1)), 4096u);
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(4096, 16)), 65536u);
  // Above 0x80 the byte is a negative power of two: 0xF5 is 2^11 sectors.
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(512, 0xF5)), 1024u * 1024);
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(512, 0xF4)), 2048u * 1024);
}

TEST(NtfsClusterSize, RefusesWhatIsNotASaneNtfsBootSector) {
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(512, 0)), 0u);
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(512, 3)), 0u);     // not a power of two
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(512, 0x81)), 0u);  // 2^127 sectors
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(512, 0xF3)), 0u);  // 4 MiB: past the largest cluster
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(4096, 0xF4)), 0u);
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(0, 8)), 0u);
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(500, 8)), 0u);
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(128, 8)), 0u);
  EXPECT_EQ(ClusterSizeOf(NtfsBootSector(8192, 1)), 0u);

  auto fat = NtfsBootSector(512, 8);
  std::memcpy(&fat[kNtfsOemIdOffset], "MSDOS5.0", 8);
  EXPECT_EQ(ClusterSizeOf(fat), 0u);
  auto lower = NtfsBootSector(512, 8);
  std::memcpy(&lower[kNtfsOemIdOffset], "ntfs    ", 8);
  EXPECT_EQ(ClusterSizeOf(lower), 0u);

  // Too short to hold the fields: refused, not read past.
  const auto whole = NtfsBootSector(512, 8);
  EXPECT_EQ(NtfsClusterSize(Bytes(whole.data(), kSectorsPerClusterOffset)), 0u);
  EXPECT_EQ(NtfsClusterSize(Bytes()), 0u);
}

TEST(CountClearBits, CountsOnlyTheBitsAskedFor) {
  const std::array<std::byte, 3> bitmap{std::byte{0x0F}, std::byte{0xFF}, std::byte{0x01}};
  EXPECT_EQ(CountClearBits(Bytes(bitmap.data(), bitmap.size()), 24), 4u + 0 + 7);
  EXPECT_EQ(CountClearBits(Bytes(bitmap.data(), bitmap.size()), 4), 0u);
  EXPECT_EQ(CountClearBits(Bytes(bitmap.data(), bitmap.size()), 6), 2u);
  EXPECT_EQ(CountClearBits(Bytes(bitmap.data(), bitmap.size()), 17), 4u);
  EXPECT_EQ(CountClearBits(Bytes(bitmap.data(), bitmap.size()), 18), 5u);
  EXPECT_EQ(CountClearBits(Bytes(bitmap.data(), bitmap.size()), 0), 0u);
  // Bits past the buffer are not counted.
  EXPECT_EQ(CountClearBits(Bytes(bitmap.data(), bitmap.size()), 1000), 11u);
  EXPECT_EQ(CountClearBits(Bytes(), 64), 0u);
}

}  // namespace
}  // namespace stow::discovery
