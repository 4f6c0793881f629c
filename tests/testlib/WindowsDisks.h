// Disks that hold a Windows installation fixture, for the tests of the chain
// after a copy or restore: an MBR disk and a GPT disk with an EFI system
// partition, attached as loop devices, whose first NTFS volume carries
// Windows/System32, a SYSTEM hive with MountedDevices entries naming that
// volume and another, and placeholder boot manager files in Windows/Boot/PCAT
// and Windows/Boot/EFI.
//
// What the tests expect is computed from what sfdisk reports about the disk,
// never from the program's own table code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/testlib/DiskFixtures.h"
#include "tests/testlib/TestUtil.h"
#include "tests/testlib/WindowsFixture.h"

namespace stow::test {

// The placeholder boot manager files of the installation, as paths below Windows/Boot.
const std::vector<std::string>& InstallationBootFiles();
// The content a placeholder file of that path holds.
std::string PlaceholderContent(const std::string& path);

// Creates the installation's folders and files below `root` (a mounted volume):
// Windows/System32 (with a file), Windows/System32/config/SYSTEM (the hive with
// `entries`) and the placeholder boot files. Empty, or what failed.
std::string FillWindowsVolume(const fs::path& root,
                              const std::vector<MountedDevicesEntry>& entries);

// A partition as sfdisk --json shows it.
struct SfdiskPartition {
  std::string node;  // "/dev/loop3p2"
  uint64_t start = 0;
  bool bootable = false;
  std::string uuid;  // GPT: the partition's unique GUID
};
struct SfdiskTable {
  std::string label;  // "dos" or "gpt"
  std::string id;     // "0x5713e001" or the disk GUID
  std::vector<SfdiskPartition> partitions;
  const SfdiskPartition* Find(const std::string& node) const;
};
// Empty, or what failed.
std::string ReadSfdisk(const std::string& disk, SfdiskTable& out);

// The bytes of a GUID written as text, in the order a GPT stores them.
std::vector<std::byte> GuidBytes(const std::string& text);

// The MountedDevices identifier Windows gives the partition `node`: MBR: disk
// signature + byte offset; GPT: "DMIO:ID:" + the partition GUID.
std::vector<std::byte> ExpectedIdentifier(const SfdiskTable& table, const std::string& node);
// The 88-byte partition device of a boot configuration store's device and
// osdevice elements for the partition `node`.
std::vector<std::byte> ExpectedPartitionDevice(const SfdiskTable& table, const std::string& node);

// One disk of the chain tests, attached.
struct WindowsDisk {
  DiskFixture layout;
  std::unique_ptr<LoopDevice> loop;
  SfdiskTable table;
  std::string error;  // empty when the disk is ready

  bool Ok() const { return error.empty(); }
  std::string Node(int number) const { return loop->Partition(number); }
};

// MBR disk (signature 0x5713e0b1):
//   1  primary NTFS, active: the installation (C: names it, E: names partition 2)
//   2  primary NTFS, empty
//   3  extended
//   5  logical NTFS, empty
WindowsDisk MakeWindowsMbrDisk(const fs::path& dir, uint64_t ntfsMiB);

// GPT disk:
//   1  EFI system partition, FAT32
//   2  NTFS: the installation (C: names it, E: names partition 3)
//   3  NTFS, empty
//   4  NTFS, empty
WindowsDisk MakeWindowsGptDisk(const fs::path& dir, uint64_t ntfsMiB);

// The tools these disks and their checks need.
std::vector<std::string> WindowsDiskTools();

// Copies the file `path` of the volume `node` to `target`: NTFS through a
// read-only ntfs-3g mount, FAT through mtools. Empty, or what failed.
std::string CopyOutOfVolume(const std::string& node, bool fat, const std::string& path,
                            const fs::path& target);

// An element ("11000001") of a store's loader object, read with hivexget; empty when missing.
std::vector<std::byte> LoaderElement(const fs::path& store, const std::string& element);

// The boot partition `node` after a boot repair: the boot manager files of
// the installation in their places and, when `storesExpected`, both stores
// with device and osdevice equal to `device`; without, no store at all. Empty,
// or every difference found.
std::string CheckBootPartition(const std::string& node, bool fat,
                               const std::vector<std::byte>& device, bool storesExpected);

// Renders bytes as "0a,1b,..." for messages.
std::string HexBytes(const std::vector<std::byte>& bytes);

}  // namespace stow::test
