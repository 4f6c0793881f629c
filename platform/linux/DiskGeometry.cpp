#include "platform/DiskGeometry.h"

#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace stow::platform {

int QueryDiskGeometry(const std::string& path, DiskGeometry& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  hd_geometry geometry{};
  const int rc = ::ioctl(fd, HDIO_GETGEO, &geometry);
  const int error = rc == 0 ? 0 : errno;
  ::close(fd);
  if (error != 0) return error;
  // Some drivers answer with zeros rather than refusing.
  if (geometry.heads == 0 || geometry.sectors == 0) return ENOTTY;
  out.heads = geometry.heads;
  out.sectorsPerTrack = geometry.sectors;
  return 0;
}

}  // namespace stow::platform
