// A private read-write or read-only mount of an NTFS volume (a device or a
// regular file standing in for one) through the ntfs-3g driver, on a fresh
// temporary folder that nobody else uses. The driver runs as this process's
// child in the foreground, so that unmounting can wait for exactly that driver
// process to finish writing and let go of the volume before the caller opens
// the volume again. Unmounted and removed on every path, also by the destructor.
#pragma once

#include <sys/types.h>
#include <string>

namespace stow::platform {

// Creates a fresh folder only this process knows, under the system's temporary
// folder, for working copies: 0 and `path` set, or a system error. The caller
// removes it.
[[nodiscard]] int MakePrivateTempDirectory(std::string& path);

class PrivateNtfsMount {
 public:
  PrivateNtfsMount() = default;
  ~PrivateNtfsMount();
  PrivateNtfsMount(const PrivateNtfsMount&) = delete;
  PrivateNtfsMount& operator=(const PrivateNtfsMount&) = delete;

  // Mounts `volume`: 0, or a system error (ENOENT when the driver is missing,
  // EIO when it refused the volume, ETIMEDOUT when the mount never appeared).
  [[nodiscard]] int Mount(const std::string& volume, bool readOnly);
  bool IsMounted() const { return driver_ > 0; }
  // The mount folder, without a trailing separator.
  const std::string& Path() const { return path_; }

  // Unmounts, waits for the driver to exit and removes the folder: 0, or a
  // system error (the driver's exit status EIO).
  [[nodiscard]] int Unmount();

 private:
  std::string path_;
  pid_t driver_ = -1;
};

}  // namespace stow::platform
