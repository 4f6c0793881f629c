// The mount table of the calling process, as /proc/self/mountinfo gives it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace stow::platform {

struct MountEntry {
  uint32_t major = 0;  // of the device the file system's superblock lives on
  uint32_t minor = 0;
  std::string root;        // the folder of the file system that is mounted ("/" for all of it)
  std::string mountPoint;  // escapes decoded
  std::string options;     // per-mount options ("rw,relatime")
  std::string fsType;      // "ext4", "fuseblk", ...
  std::string source;      // "/dev/sdb1", escapes decoded
};

// Parses the text of a mountinfo file, in file order. Malformed lines are skipped.
std::vector<MountEntry> ParseMountInfo(std::string_view text);

// Reads and parses /proc/self/mountinfo; empty when it cannot be read.
std::vector<MountEntry> ReadMountInfo();

// True when the entry is mounted read-only.
bool MountIsReadOnly(const MountEntry& entry);

}  // namespace stow::platform
