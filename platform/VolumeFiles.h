// Files inside a volume that the system has not mounted: the boot files the
// program places on a boot partition and the boot configuration stores it
// edits there. An NTFS volume is reached through a private ntfs-3g mount
// (PrivateMount.h); a FAT volume through mtools, which reads and writes the
// file system on the device itself, so no FAT driver of the system is needed.
//
// Paths inside a volume are absolute with '/' separators ("/EFI/Boot/BCD").
// Name lookups follow the file system: FAT ignores case, NTFS through ntfs-3g
// does not.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace stow::platform {

// The attribute word a volume keeps per file (the DOS attribute bits).
inline constexpr uint32_t kFileAttributeReadOnly = 0x01;
inline constexpr uint32_t kFileAttributeHidden = 0x02;
inline constexpr uint32_t kFileAttributeSystem = 0x04;
inline constexpr uint32_t kFileAttributeDirectory = 0x10;
inline constexpr uint32_t kFileAttributeArchive = 0x20;
inline constexpr uint32_t kFileAttributeNormal = 0x80;

// Results besides 0 and the system errors.
inline constexpr int kVolumeFilesUnsupported = -10;  // neither NTFS nor FAT
inline constexpr int kVolumeFilesToolFailed = -11;   // an mtools program failed

class VolumeFiles {
 public:
  virtual ~VolumeFiles() = default;

  // The device (or file) the files are on, for messages.
  virtual const std::string& Device() const = 0;
  // "NTFS", "FAT32", ...: the file system as the volume queries name it.
  virtual const std::string& FileSystem() const = 0;
  // A local folder through which the volume's files are ordinary files (the
  // private mount), or empty when there is none (FAT through mtools).
  virtual const std::string& LocalRoot() const = 0;

  // The attribute word of `path`: 0; ENOENT when nothing is there.
  [[nodiscard]] virtual int QueryAttributes(const std::string& path, uint32_t& attributes) = 0;
  // Sets the read-only, hidden, system and archive bits of `path` as
  // `attributes` has them (kFileAttributeNormal clears them all): 0 or an error.
  [[nodiscard]] virtual int SetAttributes(const std::string& path, uint32_t attributes) = 0;
  // Creates one folder whose parent exists: 0, EEXIST, or another error.
  [[nodiscard]] virtual int MakeDirectory(const std::string& path) = 0;
  // Writes the local file `source` as `path`, replacing a file there: 0 or an error.
  [[nodiscard]] virtual int WriteFile(const std::string& source, const std::string& path) = 0;
  // Copies `path` into the local file `target`, replacing it: 0 or an error.
  [[nodiscard]] virtual int ReadFile(const std::string& path, const std::string& target) = 0;

  // Ends the access (unmounts and waits for the driver): 0 or an error. Called
  // by the destructor when the owner did not.
  [[nodiscard]] virtual int Close() = 0;
};

// Opens the files of the volume at `device`: 0 with `out` set,
// kVolumeFilesUnsupported for a file system other than NTFS and FAT, or the
// error of the probe or the mount. `readOnly` chooses the NTFS mount's mode;
// mtools opens a FAT volume only for the one operation asked, so a FAT volume
// is written only by the writing operations. `why` receives a message on failure.
[[nodiscard]] int OpenVolumeFiles(const std::string& device, bool readOnly,
                                  std::unique_ptr<VolumeFiles>& out, std::string* why = nullptr);

// A folder of this system through the same interface (its LocalRoot is the
// folder): where boot files are gathered before they go onto a volume. The
// read-only bit is the owner's write permission there.
std::unique_ptr<VolumeFiles> OpenFolderFiles(const std::string& folder);

}  // namespace stow::platform
