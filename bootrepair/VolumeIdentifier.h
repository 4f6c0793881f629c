// Where a partition lies, in the terms Windows uses to recognise it again:
// an MBR disk's 32-bit signature and the partition's byte offset, or a GPT
// disk's GUID and the partition's unique GUID. From it come the volume
// identifier stored under MountedDevices and the partition device of a boot
// configuration store.
//
// MountedDevices identifiers, as a running Windows writes them:
//   MBR: 12 bytes: disk signature (u32 LE, MBR offset 440) + byte offset (u64 LE)
//   GPT: 24 bytes: "DMIO:ID:" + the partition's unique GUID (16 bytes as stored
//        in the GPT entry)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/disk/PartitionTable.h"
#include "platform/VolumeId.h"
#include "platform/Volumes.h"

namespace stow::engine {
class DiskDevice;
}

namespace stow::bootrepair {

inline constexpr size_t kMbrSignatureOffset = 440;
inline constexpr size_t kMbrIdentifierSize = 12;
inline constexpr size_t kGptIdentifierSize = 24;
inline constexpr char kGptIdentifierPrefix[] = "DMIO:ID:";
inline constexpr size_t kGptIdentifierPrefixSize = 8;
// GPT header field: the disk GUID.
inline constexpr size_t kGptHeaderDiskGuidOffset = 56;

using VolumeIdentifier = std::vector<std::byte>;

struct PartitionLocation {
  platform::PartitionStyle style = platform::kStyleRaw;  // kStyleMbr or kStyleGpt once located
  uint32_t mbrSignature = 0;        // MBR
  uint64_t byteOffset = 0;          // both styles: first byte of the partition on its disk
  engine::Guid diskGuid{};          // GPT, bytes as stored on disk
  engine::Guid partitionGuid{};     // GPT, bytes as stored on disk
};

enum class LocateResult : int {
  kLocateOk = 0,
  kLocateNoParentDisk = 1,    // the volume is no partition of a disk (or its disk cannot be found)
  kLocateDiskUnreadable = 2,  // the disk or its table could not be read
  kLocateNoEntry = 3,         // no table entry starts where the partition starts
  kLocateRawDisk = 4,         // the disk has no MBR or GPT table
};
using enum LocateResult;
const char* LocateResultText(LocateResult result);

// The MountedDevices identifier of a located partition: 12 bytes (MBR) or 24
// bytes (GPT); empty for any other style.
VolumeIdentifier MountedDevicesIdentifier(const PartitionLocation& location);
VolumeIdentifier MbrVolumeIdentifier(uint32_t diskSignature, uint64_t byteOffset);
VolumeIdentifier GptVolumeIdentifier(const engine::Guid& partitionGuid);

// Locates the partition that starts at 512-byte sector `startSector` of an
// open whole disk, from the disk's own table.
[[nodiscard]] LocateResult LocatePartitionOnDisk(engine::DiskDevice& disk, uint64_t startSector,
                                                 PartitionLocation& out);

// Locates a partition device ("/dev/sdb2", "/dev/loop1000p1"): its disk and
// start come from the system, the rest from the disk's table.
[[nodiscard]] LocateResult LocatePartition(const platform::VolumeId& volume,
                                           PartitionLocation& out);

// The volume's MountedDevices identifier: kLocateOk with `out` filled, or why not.
[[nodiscard]] LocateResult ComputeVolumeIdentifier(const platform::VolumeId& volume,
                                                   VolumeIdentifier& out);

}  // namespace stow::bootrepair
