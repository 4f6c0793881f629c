// Volumes on Linux: sysfs for what the kernel knows about a block device (its disk,
// partition number, start, sector size, removable flag), /proc/self/mountinfo for
// mount points, statvfs for free space and libblkid's probe API for labels, file
// systems, serials and partition tables. There is no udev to ask; nothing here
// depends on it.
#include "platform/Volumes.h"

#include <blkid.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/DiskNumbers.h"
#include "platform/linux/MountInfo.h"

namespace stow::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSysBlock = "/sys/block";
constexpr const char* kSysDevBlock = "/sys/dev/block";
constexpr const char* kDevDir = "/dev/";
// sysfs gives partition starts and sizes in 512-byte units whatever the disk's sector size.
constexpr uint64_t kSysfsSectorBytes = 512;
// The kernel shows an extended partition as a container of at most 1 KiB.
constexpr uint64_t kExtendedContainerMaxSectors = 2;
// SCSI peripheral type of a CD/DVD drive.
constexpr const char* kScsiTypeRom = "5";
constexpr uint32_t kDefaultNameMax = 255;
constexpr size_t kSerialHexDigits = 8;
constexpr size_t kShortUuidMaxHexDigits = 16;

std::string ReadLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::optional<uint64_t> ReadNumber(const fs::path& path) {
  const std::string line = ReadLine(path);
  if (line.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : line) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// sysfs spells '/' in a device name as '!' ("cciss!c0d0" is /dev/cciss/c0d0).
std::string DevicePathOf(std::string kernelName) {
  std::replace(kernelName.begin(), kernelName.end(), '!', '/');
  return kDevDir + kernelName;
}

bool IsPartitionDir(const fs::path& dir) { return fs::exists(dir / "partition"); }

// The folder of the whole device: itself, or the parent of a partition.
fs::path WholeDeviceDir(const fs::path& dir) {
  return IsPartitionDir(dir) ? dir.parent_path() : dir;
}

// Resolves a device node to its canonical sysfs folder.
int SysfsDirOf(const std::string& path, fs::path& out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISBLK(st.st_mode)) return ENOTBLK;
  const fs::path link = fs::path(kSysDevBlock) / (std::to_string(major(st.st_rdev)) + ":" +
                                                  std::to_string(minor(st.st_rdev)));
  std::error_code ec;
  out = fs::canonical(link, ec);
  return ec ? ENODEV : 0;
}

int DeviceOf(const std::string& path, dev_t& out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISBLK(st.st_mode)) return ENOTBLK;
  out = st.st_rdev;
  return 0;
}

// --- libblkid -------------------------------------------------------------------

class Probe {
 public:
  explicit Probe(const std::string& path) : probe_(blkid_new_probe_from_filename(path.c_str())) {
    if (!probe_) error_ = errno != 0 ? errno : EIO;
  }
  ~Probe() {
    if (probe_) blkid_free_probe(probe_);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  blkid_probe Get() const { return probe_; }
  int Error() const { return error_; }

  std::string Value(const char* name) const {
    const char* data = nullptr;
    size_t length = 0;
    if (blkid_probe_lookup_value(probe_, name, &data, &length) != 0 || data == nullptr) return {};
    // The length counts the terminating NUL.
    return std::string(data, length > 0 && data[length - 1] == '\0' ? length - 1 : length);
  }

 private:
  blkid_probe probe_;
  int error_ = 0;
};

struct Superblock {
  std::string type;
  std::string label;
  std::string uuid;
  std::string version;
  std::string usage;
};

// 0 with the superblock's values, ENODATA when none is recognised, or the error.
int ProbeSuperblock(const std::string& path, Superblock& out) {
  Probe probe(path);
  if (!probe.Get()) return probe.Error();
  blkid_probe_enable_partitions(probe.Get(), 0);
  blkid_probe_enable_superblocks(probe.Get(), 1);
  blkid_probe_set_superblocks_flags(probe.Get(), BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID |
                                                     BLKID_SUBLKS_TYPE | BLKID_SUBLKS_USAGE |
                                                     BLKID_SUBLKS_VERSION);
  const int rc = blkid_do_safeprobe(probe.Get());
  if (rc == 1) return ENODATA;
  if (rc != 0) return EIO;  // a failed read, or two file systems claiming the volume
  out.type = probe.Value("TYPE");
  out.label = probe.Value("LABEL");
  out.uuid = probe.Value("UUID");
  out.version = probe.Value("VERSION");
  out.usage = probe.Value("USAGE");
  return 0;
}

struct PartitionTableProbe {
  std::string type;              // "dos", "gpt", ...; empty when there is no table
  std::vector<int> extendedNos;  // partition numbers of extended containers
};

int ProbePartitionTable(const std::string& path, PartitionTableProbe& out) {
  Probe probe(path);
  if (!probe.Get()) return probe.Error();
  blkid_probe_enable_superblocks(probe.Get(), 0);
  blkid_probe_enable_partitions(probe.Get(), 1);
  const int rc = blkid_do_safeprobe(probe.Get());
  if (rc == 1) return 0;
  if (rc != 0) return EIO;
  out.type = probe.Value("PTTYPE");
  blkid_partlist list = blkid_probe_get_partitions(probe.Get());
  const int count = list ? blkid_partlist_numof_partitions(list) : 0;
  for (int i = 0; i < count; ++i) {
    blkid_partition p = blkid_partlist_get_partition(list, i);
    if (p && blkid_partition_is_extended(p))
      out.extendedNos.push_back(blkid_partition_get_partno(p));
  }
  return 0;
}

std::string WindowsFileSystemName(const Superblock& sb) {
  if (sb.type == "ntfs") return "NTFS";
  if (sb.type == "vfat") return sb.version == "FAT32" ? "FAT32" : "FAT";
  if (sb.type == "msdos") return "FAT";
  if (sb.type == "exfat") return "exFAT";
  return sb.type;
}

bool IsHex(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
  });
}

// The 32-bit serial Windows shows: a FAT serial "C937-7E5A" whole, the low half
// of the 64-bit NTFS serial. File systems with 128-bit UUIDs have none.
uint32_t SerialFromUuid(std::string uuid) {
  uuid.erase(std::remove(uuid.begin(), uuid.end(), '-'), uuid.end());
  if (!IsHex(uuid) || uuid.size() > kShortUuidMaxHexDigits) return 0;
  const std::string low =
      uuid.size() > kSerialHexDigits ? uuid.substr(uuid.size() - kSerialHexDigits) : uuid;
  return static_cast<uint32_t>(std::stoul(low, nullptr, 16));
}

// --- Mounts ------------------------------------------------------------------------

bool MountIsOf(const MountEntry& m, dev_t device) {
  // A folder of a file system bound elsewhere is not the volume's own mount point.
  if (m.root != "/") return false;
  if (makedev(m.major, m.minor) == device) return true;
  // FUSE file systems on a block device (ntfs-3g) carry an anonymous device number.
  if (m.fsType.starts_with("fuseblk")) {
    dev_t source = 0;
    return DeviceOf(m.source, source) == 0 && source == device;
  }
  return false;
}

std::optional<MountEntry> FirstMountOf(const std::string& volumeName) {
  dev_t device = 0;
  if (DeviceOf(VolumeOpenPath(volumeName), device) != 0) return std::nullopt;
  for (MountEntry& m : ReadMountInfo()) {
    if (MountIsOf(m, device)) return std::move(m);
  }
  return std::nullopt;
}

// --- Enumeration ---------------------------------------------------------------------

bool IsVolumeHolder(const fs::path& dir) {
  const std::string name = dir.filename().string();
  if (name.starts_with("ram") || name.starts_with("zram")) return false;
  if (ReadLine(dir / "size") == "0") return false;
  if (name.starts_with("loop") && !fs::exists(dir / "loop" / "backing_file")) return false;
  return true;
}

// Whole devices in enumeration order: numbered disks first, then the rest by name.
std::vector<std::string> ListDeviceNames() {
  std::vector<std::string> names;
  for (const std::string& path : ListWholeDisks()) {
    std::string name = path.substr(std::string(kDevDir).size());
    std::replace(name.begin(), name.end(), '/', '!');
    names.push_back(name);
  }
  std::vector<std::string> rest;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kSysBlock, ec)) {
    const std::string name = entry.path().filename().string();
    if (std::find(names.begin(), names.end(), name) != names.end()) continue;
    if (IsVolumeHolder(entry.path())) rest.push_back(name);
  }
  std::sort(rest.begin(), rest.end());
  names.insert(names.end(), rest.begin(), rest.end());
  return names;
}

struct PartitionDir {
  uint64_t number = 0;
  fs::path dir;
};

std::vector<PartitionDir> ListPartitions(const fs::path& deviceDir) {
  std::vector<PartitionDir> parts;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(deviceDir, ec)) {
    if (!entry.is_directory(ec) || !IsPartitionDir(entry.path())) continue;
    const auto number = ReadNumber(entry.path() / "partition");
    if (number) parts.push_back({*number, entry.path()});
  }
  std::sort(parts.begin(), parts.end(),
            [](const PartitionDir& a, const PartitionDir& b) { return a.number < b.number; });
  return parts;
}

// A device without partitions is a volume when it holds a file system.
bool HoldsFileSystem(const std::string& devicePath) {
  Superblock sb;
  if (ProbeSuperblock(devicePath, sb) == 0) return sb.usage == "filesystem";
  return FirstMountOf(devicePath).has_value();
}

void AppendVolumesOf(const std::string& deviceName, std::vector<std::string>& names) {
  const fs::path dir = fs::path(kSysBlock) / deviceName;
  const std::vector<PartitionDir> parts = ListPartitions(dir);
  if (parts.empty()) {
    const std::string path = DevicePathOf(deviceName);
    if (HoldsFileSystem(path)) names.push_back(path);
    return;
  }
  PartitionTableProbe table;
  ProbePartitionTable(DevicePathOf(deviceName), table);
  for (const PartitionDir& p : parts) {
    const bool extended = std::find(table.extendedNos.begin(), table.extendedNos.end(),
                                    static_cast<int>(p.number)) != table.extendedNos.end();
    const auto sectors = ReadNumber(p.dir / "size");
    // An extended partition is a container of other partitions, not a volume.
    if (extended || !sectors || *sectors <= kExtendedContainerMaxSectors) continue;
    names.push_back(DevicePathOf(p.dir.filename().string()));
  }
}

}  // namespace

int FindVolumes(std::vector<std::string>& names) {
  names.clear();
  for (const std::string& device : ListDeviceNames()) AppendVolumesOf(device, names);
  return names.empty() ? ENOENT : 0;
}

int QueryVolumeInformation(const std::string& volumeName, VolumeInformation& out) {
  const std::string path = VolumeOpenPath(volumeName);
  Superblock sb;
  const int probed = ProbeSuperblock(path, sb);
  const std::optional<MountEntry> mount = FirstMountOf(volumeName);
  if (probed != 0 && !mount) return probed;
  VolumeInformation info;
  if (probed == 0) {
    info.label = sb.label;
    info.serialNumber = SerialFromUuid(sb.uuid);
    info.fileSystemName = WindowsFileSystemName(sb);
  } else if (!mount->fsType.starts_with("fuse")) {
    // The device cannot be read here, but the kernel names the file system it mounted.
    info.fileSystemName = mount->fsType;
  }
  if (!info.fileSystemName.empty()) info.maximumComponentLength = kDefaultNameMax;
  if (mount) {
    struct statvfs st {};
    if (::statvfs(mount->mountPoint.c_str(), &st) == 0) {
      info.maximumComponentLength = static_cast<uint32_t>(st.f_namemax);
    }
    if (MountIsReadOnly(*mount)) info.fileSystemFlags |= kFileReadOnlyVolume;
  }
  out = std::move(info);
  return 0;
}

int QueryVolumeMountPath(const std::string& volumeName, std::string& mountPath) {
  dev_t device = 0;
  const int error = DeviceOf(VolumeOpenPath(volumeName), device);
  if (error != 0) return error;
  const std::optional<MountEntry> mount = FirstMountOf(volumeName);
  mountPath = mount ? mount->mountPoint : std::string();
  return 0;
}

DriveType QueryDriveType(const std::string& volumeName) {
  fs::path dir;
  if (SysfsDirOf(VolumeOpenPath(volumeName), dir) != 0) return kDriveNoRootDir;
  const fs::path whole = WholeDeviceDir(dir);
  const std::string name = whole.filename().string();
  if (name.starts_with("sr") || ReadLine(whole / "device" / "type") == kScsiTypeRom) {
    return kDriveCdrom;
  }
  if (name.starts_with("fd") || ReadLine(whole / "removable") == "1") return kDriveRemovable;
  return kDriveFixed;
}

int QueryVolumeFreeSpace(const std::string& volumeName, VolumeFreeSpace& out) {
  const std::optional<MountEntry> mount = FirstMountOf(volumeName);
  if (!mount) return ENOENT;
  struct statvfs st {};
  if (::statvfs(mount->mountPoint.c_str(), &st) != 0) return errno;
  const uint64_t unit = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
  out.freeBytesAvailable = static_cast<uint64_t>(st.f_bavail) * unit;
  out.totalBytes = static_cast<uint64_t>(st.f_blocks) * unit;
  out.totalFreeBytes = static_cast<uint64_t>(st.f_bfree) * unit;
  return 0;
}

std::string VolumeOpenPath(const std::string& volumeName) {
  std::string path = volumeName;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string SystemVolumeRoot() { return "/"; }

int VolumeHandle::Open(const std::string& path) {
  fs::path dir;
  const int error = SysfsDirOf(path, dir);
  open_ = error == 0;
  path_ = open_ ? path : std::string();
  sysfsDir_ = open_ ? dir.string() : std::string();
  return error;
}

int VolumeHandle::QueryDeviceNumber(DeviceNumber& out) const {
  if (!open_) return EBADF;
  const fs::path dir(sysfsDir_);
  int disk = -1;
  if (!DiskNumberOfName(WholeDeviceDir(dir).filename().string(), disk)) return ENODEV;
  uint64_t partition = 0;
  if (IsPartitionDir(dir)) {
    const auto number = ReadNumber(dir / "partition");
    if (!number || *number > UINT32_MAX) return EIO;
    partition = *number;
  }
  out.deviceType = kDeviceTypeDisk;
  out.deviceNumber = disk;
  out.partitionNumber = static_cast<uint32_t>(partition);
  return 0;
}

int VolumeHandle::QueryBytesPerSector(uint32_t& out) const {
  if (!open_) return EBADF;
  const auto size = ReadNumber(WholeDeviceDir(sysfsDir_) / "queue" / "logical_block_size");
  if (!size || *size == 0 || *size > UINT32_MAX) return EIO;
  out = static_cast<uint32_t>(*size);
  return 0;
}

int VolumeHandle::QueryStartingOffset(uint64_t& out) const {
  if (!open_) return EBADF;
  const fs::path dir(sysfsDir_);
  if (!IsPartitionDir(dir)) {
    out = 0;  // a volume that spans its whole device starts at its first byte
    return 0;
  }
  const auto start = ReadNumber(dir / "start");
  if (!start || *start > UINT64_MAX / kSysfsSectorBytes) return EIO;
  out = *start * kSysfsSectorBytes;
  return 0;
}

int VolumeHandle::QueryPartitionStyle(PartitionStyle& out) const {
  if (!open_) return EBADF;
  PartitionTableProbe table;
  const int error = ProbePartitionTable(path_, table);
  if (error != 0) return error;
  if (table.type == "dos") {
    out = kStyleMbr;
  } else if (table.type == "gpt") {
    out = kStyleGpt;
  } else {
    out = kStyleRaw;
  }
  return 0;
}

}  // namespace stow::platform
