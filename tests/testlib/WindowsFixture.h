// A Windows installation's SYSTEM hive for tests: a hive made by the program's
// own builder whose MountedDevices key holds drive-letter entries and volume
// entries the way a running Windows leaves them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bootrepair/VolumeIdentifier.h"

namespace stow::test {

struct MountedDevicesEntry {
  std::string name;  // "\DosDevices\C:", "\??\Volume{...}"
  bootrepair::VolumeIdentifier data;
};

// The entries of a typical installation: "\DosDevices\C:" = `systemVolume`,
// "\DosDevices\E:" = `otherVolume`, and a "\??\Volume{...}" entry for each of
// the two plus one for a volume without a letter.
std::vector<MountedDevicesEntry> TypicalMountedDevices(
    const bootrepair::VolumeIdentifier& systemVolume,
    const bootrepair::VolumeIdentifier& otherVolume);

// Writes a SYSTEM hive at `path` holding "MountedDevices" with `entries` (REG_BINARY)
// and "Select" with Current = 1 (REG_DWORD). Returns an empty string, or what failed.
std::string WriteSystemHive(const std::filesystem::path& path,
                            const std::vector<MountedDevicesEntry>& entries);

// Reads the MountedDevices entries back with the independent reader (hivexsh
// from libhivex-bin, not this program's code): name -> bytes. An empty string,
// or what failed.
std::string ReadMountedDevicesWithHivexsh(const std::filesystem::path& path,
                                          std::vector<MountedDevicesEntry>& out);

}  // namespace stow::test
