// Whether a volume that is about to be overwritten is in use by the system, and
// whether two names mean the same volume. A copy or restore formats its
// destination: a destination that the system has mounted (directly, through a
// partition of it, or through a loop device over the file that stands in for
// it) or that holds the running system must be refused first, since writing
// under a mounted file system destroys both.
#pragma once

#include <string>
#include <vector>

namespace stow::platform {

struct VolumeUse {
  bool mounted = false;       // some file system on the volume (or inside it) is mounted
  bool systemRoot = false;    // one of those mounts is the running system's root
  bool heldByDevice = false;  // another block device (device mapper, RAID) is built on it
  std::string mountPoint;     // the first mount point found, for messages
  std::string usedBy;         // the device that is mounted or holds it ("/dev/loop3p1")
  // One of the mounts lets the system write: the volume can change while it is read.
  bool mountedReadWrite = false;
  std::string writableMountPoint;  // the first such mount point, for messages
};

// Fills `out` for the device or regular file `path`: 0, or the system error
// (ENOENT when it does not exist, EINVAL when it is neither a device nor a file).
[[nodiscard]] int QueryVolumeUse(const std::string& path, VolumeUse& out);

// True when `a` and `b` name the same device or the same file (through links,
// other spellings or device nodes of the same number).
bool SameVolume(const std::string& a, const std::string& b);

// True when writing all of one would change the other: the same device or file,
// a whole disk and one of its partitions, or a file and a loop device over it.
bool VolumesOverlap(const std::string& a, const std::string& b);

// True when writing the volume `volumePath` could change the file `filePath`,
// or writing the file could change the volume, following where each is stored:
// the file is the volume under another name, the file is behind a loop device
// that is the volume, lies inside it or holds it (a partition of a loop disk),
// or the file system holding the file (its folder, for a file not created yet)
// lives on the volume, directly or through loop devices and FUSE mounts whose
// files do. `how`, when given, says in what way, naming the path involved.
bool FileOverlapsVolume(const std::string& filePath, const std::string& volumePath,
                        std::string* how = nullptr);

// The volumes related to the device or file `path`, as paths: `holders` hold it
// (the disk of a partition, the file behind a loop device or behind the loop
// disk of a partition), `inside` lie in it (its partitions, the loop devices
// over a file and their partitions, devices built on any of them). 0, or the
// system error.
int QueryVolumeRelatives(const std::string& path, std::vector<std::string>& holders,
                         std::vector<std::string>& inside);

}  // namespace stow::platform
