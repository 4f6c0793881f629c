#include "platform/DiskGeometry.h"


#include "platform/windows/WinVolumes.h"

namespace stow::platform {

int QueryDiskGeometry(const std::string& path, DiskGeometry& out) {
  win::Handle handle;
  if (const int error = win::OpenForQueries(path, handle); error != 0) {
    // A regular file reports no geometry, as on Linux.
    return error == ENOTBLK ? ENOTTY : error;
  }
  DISK_GEOMETRY geometry{};
  if (const int error =
          win::Control(handle.Get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, &geometry, sizeof geometry);
      error != 0) {
    return error;
  }
  if (geometry.TracksPerCylinder == 0 || geometry.SectorsPerTrack == 0) return ENOTTY;
  out.heads = geometry.TracksPerCylinder;
  out.sectorsPerTrack = geometry.SectorsPerTrack;
  return 0;
}

}  // namespace stow::platform
