// The system's own tools for NTFS volumes and how they are called: the quick
// format before a copy or restore, and the disk check after one. Linux has
// mkntfs and ntfsfix from ntfs-3g; Windows has format.com and chkdsk in its
// system folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stow::platform {

// Everything a format command is built from.
struct NtfsFormatRequest {
  std::string device;           // as VolumeId::DevicePath() gives it
  int64_t clusterBytes = 0;     // 0: the format's default
  uint64_t partitionStart = 0;  // first sector on its disk; 0 for a file or a whole disk
  uint32_t heads = 0;
  uint32_t sectorsPerTrack = 0;
};

// The command line of a quick NTFS format that asks no questions (argv[0] is
// resolved by ResolveProgram).
std::vector<std::string> NtfsFormatCommand(const NtfsFormatRequest& request);

// The name of the disk checker, for messages and log lines.
const char* VolumeCheckProgram();
// The command line that checks and repairs the NTFS volume `device` and
// leaves it clean when it could.
std::vector<std::string> VolumeCheckCommand(const std::string& device);

}  // namespace stow::platform
