// The offline registry fix-up of a copied or restored Windows installation.
//
// A Windows installation finds its own volume through the drive-letter entries
// ("\DosDevices\C:") of the MountedDevices key in its SYSTEM hive: each maps a
// letter to the identifier of one volume. A copy still names its source. The
// fix-up opens the destination's hive (Windows\System32\config\SYSTEM, reached
// through a private read-write mount of the destination) and moves the letter
// that named the source over to the destination, after removing every letter
// that already named the destination.
//
// Identifiers here are computed from the partition tables (VolumeIdentifier.h)
// instead of being read from a running system's registry.
#pragma once

#include <string>

#include "bootrepair/Hive.h"
#include "bootrepair/VolumeIdentifier.h"
#include "platform/VolumeId.h"
#include "support/Bytes.h"

namespace stow::bootrepair {

inline constexpr const char* kMountedDevicesKey = "MountedDevices";
inline constexpr const char* kDosDevicesMarker = "DosDevices";
// Drive-letter values larger than this are never identifiers; they are skipped.
inline constexpr size_t kMaxIdentifierBytes = 255;
// The hive's place inside the installation, one name per level.
inline constexpr const char* kSystemHivePath[] = {"Windows", "System32", "config", "SYSTEM"};

// The privileges the offline registry work needs: here, the effective user id
// 0. False, with a log line, when the process lacks them.
[[nodiscard]] bool EnablePrivileges();

// The value name of a drive letter's entry: "\DosDevices\C:".
std::string DosDeviceValueName(char16_t letter);

// How the volume that the destination's hive names as its own is known.
struct SourceIdentity {
  // A copy: the source volume's identifier, computed from its disk.
  VolumeIdentifier identifier;
  // A restore: the letter recorded in the image; the hive's own entry for that
  // letter names the source. Used when `identifier` is empty.
  char16_t letter = 0;
};

// The rewrite on a hive file the caller can reach directly: removes every
// drive-letter entry naming `destination`, then points the first entry that
// named the source at `destination`. False when the hive cannot be opened or
// the change cannot be written back; true otherwise, also when nothing had to
// change (no MountedDevices key, no entry for the source).
[[nodiscard]] bool FixMountedDevicesInHive(const std::string& hivePath,
                                           const SourceIdentity& source,
                                           const VolumeIdentifier& destination);

// The whole fix-up on a destination volume: mounts it privately read-write,
// finds its SYSTEM hive (names matched without regard to case), rewrites it and
// unmounts. `source` is the source volume of a copy (empty for a restore);
// `sourceLetter` is the letter recorded in the image of a restore (0 for a
// copy, or as a fallback when the source's identifier cannot be computed).
// False when the privileges are missing or the hive cannot be opened (missing
// hive: the destination holds no Windows), or the rewrite could not be written;
// true once the hive was opened and left consistent.
[[nodiscard]] bool FixMountedDevices(const platform::VolumeId& source, char16_t sourceLetter,
                                     const platform::VolumeId& destination);

// The drive letter that the Windows installation on `volume` gives the volume
// itself: the "\DosDevices\X:" entry of its own SYSTEM hive whose data is the
// volume's identifier. 0 when the volume holds no such installation or entry.
// Mounts the volume privately, read-only.
char16_t LetterOfVolumeInOwnHive(const platform::VolumeId& volume);

// One pass over the drive-letter entries of `key` (values whose name contains
// "DosDevices", compared with case): an entry whose data equals `match` byte
// for byte (same length) is replaced by `replacement` under its own name and
// type, and the pass ends; without a replacement every such entry is removed.
// Entries larger than kMaxIdentifierBytes are skipped. Returns the number of
// entries changed, or -1 when the key's values cannot be read or written.
[[nodiscard]] int RewriteDosDeviceValues(Hive& hive, HiveKey key, Bytes match,
                                         const Bytes* replacement);

}  // namespace stow::bootrepair
