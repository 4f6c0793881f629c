// Whether a volume holds a Windows installation: "\Windows\System32" exists on
// it as a directory. Looked up through the volume's own directory indexes with
// the engine's NTFS reader, so it works on a volume that is not mounted, and
// on a mounted one without disturbing it (the volume is opened read-only).
#pragma once

#include "engine/disk/IndexLookup.h"
#include "platform/VolumeId.h"

namespace stow::engine {
class CDisk;
}

namespace stow::bootrepair {

// True when the volume holds a Windows system directory. False also when the
// volume cannot be opened or is not an NTFS volume this program handles.
[[nodiscard]] bool IsWindowsVolume(const platform::VolumeId& volume);

// The same on a volume already open, with the lookup's outcome: kFound when
// the path exists and is a directory, kNotDirectory when it exists as a file.
engine::ntfs::LookupResult FindWindowsSystemDirectory(engine::CDisk& disk);

}  // namespace stow::bootrepair
