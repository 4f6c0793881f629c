// Whole-disk images with real partition tables and file systems, for tests and
// the demo: an MBR disk with an extended partition holding logical partitions,
// and a GPT disk with an EFI system partition and two NTFS partitions.
//
// The tables are written by sfdisk and sgdisk, the file systems by mkntfs and
// mkfs.vfat on separate files that are then placed at their partitions' offsets,
// so building a fixture needs neither root nor a loop device. Attach the image
// with LoopDevice (TestUtil.h) to reach the partitions as block devices.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/testlib/TestUtil.h"

namespace stow::test {

inline constexpr uint64_t kFixtureSectorSize = 512;

// One partition of a fixture, in 512-byte sectors.
struct FixturePartition {
  int number = 0;          // the kernel's number: loop device partition "p<number>"
  uint64_t start = 0;      // first sector
  uint64_t sectors = 0;    // length
  std::string fileSystem;  // "ntfs", "vfat", or empty (the extended container, or unformatted)
  std::string label;
};

struct DiskFixture {
  fs::path image;
  std::vector<FixturePartition> partitions;
  std::string error;  // empty when the image was built

  bool Ok() const { return error.empty(); }
  // The partition with the kernel's number, or nullptr.
  const FixturePartition* Partition(int number) const;
};

struct DiskFixtureOptions {
  bool format = true;     // put the file systems on the partitions
  uint64_t ntfsMiB = 16;  // size of each NTFS partition
  std::string fileName;   // image file name inside the folder; a default when empty
};

// The tools the fixtures run, for STOW_REQUIRE.
std::vector<std::string> DiskFixtureTools();

// MBR disk (identifier 0x5713e001):
//   1  primary NTFS, bootable, label "stow-primary"
//   2  extended, type 0x0F (the type that marks an extended partition here)
//   5  logical NTFS, label "stow-logical5"
//   6  logical NTFS, label "stow-logical6"
DiskFixture MakeMbrLogicalDisk(const fs::path& dir, const DiskFixtureOptions& options = {});

// GPT disk:
//   1  EFI system partition, FAT32 (label "STOWEFI"), name "EFI system partition"
//   2  basic data, NTFS, label "stow-gpt2", name "Basic data partition"
//   3  basic data, NTFS, label "stow-gpt3", name "stow data"
DiskFixture MakeGptDisk(const fs::path& dir, const DiskFixtureOptions& options = {});

// MBR disk with two primary partitions (identifier 0x5713e002):
//   1  primary NTFS, label "stow-mbr1"
//   2  primary FAT32, type 0x0C, label "STOWFAT2"
//   3  extended, type 0x0F
//   5  logical NTFS, label "stow-mbr5"
//   6  logical NTFS, label "stow-mbr6"
DiskFixture MakeMbrMixedDisk(const fs::path& dir, const DiskFixtureOptions& options = {});

// GPT disk without a FAT partition:
//   1  basic data, NTFS, label "stow-gpta1", name "stow data a"
//   2  basic data, NTFS, label "stow-gpta2", name "stow data b"
DiskFixture MakeGptNtfsDisk(const fs::path& dir, const DiskFixtureOptions& options = {});

}  // namespace stow::test
