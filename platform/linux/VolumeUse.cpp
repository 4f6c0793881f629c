// Volume use on Linux. A volume is a block device or a regular file; what it
// "covers" is the set of block devices whose contents lie inside it: the device
// itself, its partitions when it is a whole disk, the loop devices (and their
// partitions) attached to the file that stands in for it, and every device
// built on any of those (device mapper, RAID: sysfs "holders"). A mount of any
// covered device, by kernel device number or, for FUSE file systems such as
// ntfs-3g, by the source device or file they were given, means the volume is in
// use. /proc/self/mountinfo lists them all.
#include "platform/VolumeUse.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/linux/MountInfo.h"

namespace stow::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSysDevBlock = "/sys/dev/block";
constexpr const char* kSysBlock = "/sys/block";
constexpr const char* kLoopPrefix = "loop";
// The kernel appends this to a loop device's backing file once the file is deleted.
constexpr std::string_view kDeletedSuffix = " (deleted)";
// Stacks of holders (a partition under LVM under RAID ...) are shallow; the cap
// only guards against a sysfs loop.
constexpr int kMaxHolderDepth = 8;
constexpr size_t kMaxCoveredDevices = 4096;

struct Identity {
  bool exists = false;
  bool isDevice = false;
  dev_t rdev = 0;  // a device's number
  dev_t dev = 0;   // a file's file system and inode
  ino_t ino = 0;
};

int IdentityOf(const std::string& path, Identity& out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno;
  out.exists = true;
  if (S_ISBLK(st.st_mode)) {
    out.isDevice = true;
    out.rdev = st.st_rdev;
    return 0;
  }
  if (!S_ISREG(st.st_mode)) return EINVAL;
  out.dev = st.st_dev;
  out.ino = st.st_ino;
  return 0;
}

bool SameFile(const Identity& a, const Identity& b) {
  return a.exists && b.exists && !a.isDevice && !b.isDevice && a.dev == b.dev && a.ino == b.ino;
}

std::string ReadLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// "8:17" as sysfs writes a device number.
bool ParseDevNumber(const std::string& text, dev_t& out) {
  unsigned major = 0;
  unsigned minor = 0;
  const char* const end = text.data() + text.size();
  const auto [colon, majorError] = std::from_chars(text.data(), end, major);
  if (majorError != std::errc() || colon == end || *colon != ':') return false;
  const auto [last, minorError] = std::from_chars(colon + 1, end, minor);
  if (minorError != std::errc() || last != end) return false;
  out = makedev(major, minor);
  return true;
}

fs::path SysfsDirOf(dev_t device) {
  return fs::path(kSysDevBlock) /
         (std::to_string(major(device)) + ":" + std::to_string(minor(device)));
}

class CoveredSet {
 public:
  const std::vector<dev_t>& Devices() const { return devices_; }
  bool Contains(dev_t device) const {
    return std::find(devices_.begin(), devices_.end(), device) != devices_.end();
  }
  bool heldByDevice = false;
  std::string holder;

  // Adds a device, its partitions and everything built on them.
  void AddTree(dev_t device, int depth) {
    if (depth > kMaxHolderDepth || Contains(device) || devices_.size() >= kMaxCoveredDevices)
      return;
    devices_.push_back(device);
    std::error_code ec;
    const fs::path dir = fs::canonical(SysfsDirOf(device), ec);
    if (ec) return;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      if (!fs::exists(entry.path() / "partition", ec)) continue;
      dev_t part = 0;
      if (ParseDevNumber(ReadLine(entry.path() / "dev"), part)) AddTree(part, depth + 1);
    }
    for (const auto& entry : fs::directory_iterator(dir / "holders", ec)) {
      dev_t held = 0;
      if (!ParseDevNumber(ReadLine(entry.path() / "dev"), held)) continue;
      if (!heldByDevice) holder = "/dev/" + entry.path().filename().string();
      heldByDevice = true;
      AddTree(held, depth + 1);
    }
  }

 private:
  std::vector<dev_t> devices_;
};

// Loop devices whose backing file is `file`.
void AddLoopsOver(const Identity& file, CoveredSet& covered) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kSysBlock, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(kLoopPrefix)) continue;
    std::string backing = ReadLine(entry.path() / "loop" / "backing_file");
    if (backing.empty()) continue;
    if (backing.ends_with(kDeletedSuffix)) continue;  // a deleted file is not ours
    Identity identity;
    if (IdentityOf(backing, identity) != 0 || !SameFile(identity, file)) continue;
    dev_t loop = 0;
    if (ParseDevNumber(ReadLine(entry.path() / "dev"), loop)) covered.AddTree(loop, 0);
  }
}

CoveredSet CoveredBy(const Identity& volume) {
  CoveredSet covered;
  if (volume.isDevice) {
    covered.AddTree(volume.rdev, 0);
  } else {
    AddLoopsOver(volume, covered);
  }
  return covered;
}

// True when the mount's file system lives on the volume.
bool MountIsOn(const MountEntry& m, const Identity& volume, const CoveredSet& covered) {
  if (covered.Contains(makedev(m.major, m.minor))) return true;
  // FUSE file systems carry an anonymous device number; their source names the device or file.
  if (m.source.empty() || m.source.front() != '/') return false;
  Identity source;
  if (IdentityOf(m.source, source) != 0) return false;
  if (source.isDevice) return covered.Contains(source.rdev);
  return SameFile(source, volume);
}

// The whole disk whose partition `device` is, or `device` itself.
dev_t DiskOf(dev_t device) {
  std::error_code ec;
  const fs::path dir = fs::canonical(SysfsDirOf(device), ec);
  if (ec || !fs::exists(dir / "partition", ec)) return device;
  dev_t disk = 0;
  return ParseDevNumber(ReadLine(dir.parent_path() / "dev"), disk) ? disk : device;
}

// The file behind a loop device, or behind the loop disk that holds the
// partition `device`; empty for any other device.
std::string LoopBackingFile(dev_t device) {
  std::error_code ec;
  const fs::path dir = fs::canonical(SysfsDirOf(DiskOf(device)), ec);
  if (ec) return {};
  std::string backing = ReadLine(dir / "loop" / "backing_file");
  if (backing.ends_with(kDeletedSuffix)) return {};
  return backing;
}

std::string DeviceName(dev_t device) {
  std::error_code ec;
  const fs::path dir = fs::canonical(SysfsDirOf(device), ec);
  if (ec) return std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::string name = dir.filename().string();
  std::replace(name.begin(), name.end(), '!', '/');
  return "/dev/" + name;
}

// Follows where the bytes of a file, a device or a file system are stored,
// until one of them is the volume, lies inside it or holds it.
class StorageWalk {
 public:
  StorageWalk(const Identity& volume, std::string volumePath)
      : volume_(volume), volumePath_(std::move(volumePath)), covered_(CoveredBy(volume)) {}

  bool File(const std::string& path, int depth) {
    if (depth > kMaxHolderDepth) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (S_ISBLK(st.st_mode)) return Device(st.st_rdev, path, depth);
    if (S_ISREG(st.st_mode)) {
      const Identity file{true, false, 0, st.st_dev, st.st_ino};
      if (SameFile(file, volume_)) {
        how = path + " is the volume " + volumePath_ + " itself";
        return true;
      }
      if (volume_.isDevice) {
        CoveredSet overFile;
        AddLoopsOver(file, overFile);
        if (overFile.Contains(volume_.rdev)) {
          how = path + " is the file behind the loop device that holds " + volumePath_;
          return true;
        }
      }
    }
    return FileSystem(st.st_dev, path, depth);
  }

  std::string how;

 private:
  bool Device(dev_t device, const std::string& path, int depth) {
    if (covered_.Contains(device)) {
      how = path + " is stored on " + volumePath_ + " (" + DeviceName(device) + ")";
      return true;
    }
    if (volume_.isDevice) {
      // The volume lies inside the device: a disk and one of its partitions.
      CoveredSet inside;
      inside.AddTree(device, 0);
      if (inside.Contains(volume_.rdev)) {
        how = path + " is stored on " + DeviceName(device) + ", which holds " + volumePath_;
        return true;
      }
    }
    const std::string backing = LoopBackingFile(device);
    return !backing.empty() && File(backing, depth + 1);
  }

  // The file system whose device number is `device` holds `path`.
  bool FileSystem(dev_t device, const std::string& path, int depth) {
    for (const MountEntry& m : ReadMountInfo()) {
      if (makedev(m.major, m.minor) != device) continue;
      if (MountIsOn(m, volume_, covered_)) {
        how = path + " lies on the file system of " + volumePath_ + " mounted at " + m.mountPoint;
        return true;
      }
      // A FUSE file system (ntfs-3g) names the device or file it reads.
      if (!m.source.empty() && m.source.front() == '/' && File(m.source, depth + 1)) return true;
    }
    return major(device) != 0 && Device(device, path, depth);
  }

  Identity volume_;
  std::string volumePath_;
  CoveredSet covered_;
};

}  // namespace

int QueryVolumeUse(const std::string& path, VolumeUse& out) {
  out = VolumeUse{};
  Identity volume;
  const int error = IdentityOf(path, volume);
  if (error != 0) return error;
  const CoveredSet covered = CoveredBy(volume);
  out.heldByDevice = covered.heldByDevice;
  out.usedBy = covered.holder;
  for (const MountEntry& m : ReadMountInfo()) {
    if (!MountIsOn(m, volume, covered)) continue;
    if (!out.mounted) {
      out.mountPoint = m.mountPoint;
      out.usedBy = m.source;
    }
    out.mounted = true;
    if (m.mountPoint == "/") out.systemRoot = true;
    if (!MountIsReadOnly(m) && !out.mountedReadWrite) {
      out.mountedReadWrite = true;
      out.writableMountPoint = m.mountPoint;
    }
  }
  return 0;
}

bool SameVolume(const std::string& a, const std::string& b) {
  Identity x;
  Identity y;
  if (IdentityOf(a, x) != 0 || IdentityOf(b, y) != 0) return false;
  if (x.isDevice != y.isDevice) return false;
  return x.isDevice ? x.rdev == y.rdev : SameFile(x, y);
}

bool VolumesOverlap(const std::string& a, const std::string& b) {
  Identity x;
  Identity y;
  if (IdentityOf(a, x) != 0 || IdentityOf(b, y) != 0) return false;
  if (SameFile(x, y)) return true;
  const CoveredSet coveredByA = CoveredBy(x);
  const CoveredSet coveredByB = CoveredBy(y);
  if (y.isDevice && coveredByA.Contains(y.rdev)) return true;
  if (x.isDevice && coveredByB.Contains(x.rdev)) return true;
  return false;
}

bool FileOverlapsVolume(const std::string& filePath, const std::string& volumePath,
                        std::string* how) {
  Identity volume;
  if (IdentityOf(volumePath, volume) != 0) return false;
  StorageWalk walk(volume, volumePath);
  std::string probe = filePath;
  struct stat st {};
  if (::stat(probe.c_str(), &st) != 0) {
    // A file not created yet is stored where its folder is.
    const fs::path parent = fs::path(filePath).parent_path();
    probe = parent.empty() ? std::string(".") : parent.string();
  }
  if (!walk.File(probe, 0)) return false;
  if (how != nullptr) *how = walk.how;
  return true;
}

int QueryVolumeRelatives(const std::string& path, std::vector<std::string>& holders,
                         std::vector<std::string>& inside) {
  holders.clear();
  inside.clear();
  Identity volume;
  if (const int error = IdentityOf(path, volume); error != 0) return error;
  if (volume.isDevice) {
    const dev_t disk = DiskOf(volume.rdev);
    if (disk != volume.rdev) holders.push_back(DeviceName(disk));
    const std::string backing = LoopBackingFile(volume.rdev);
    if (!backing.empty()) holders.push_back(backing);
  }
  const CoveredSet covered = CoveredBy(volume);
  for (const dev_t device : covered.Devices()) {
    if (!volume.isDevice || device != volume.rdev) inside.push_back(DeviceName(device));
  }
  return 0;
}

}  // namespace stow::platform
