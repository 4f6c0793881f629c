// A partition's disk and start from sysfs: /sys/dev/block/MAJ:MIN resolves to
// the partition's folder, which lies inside its disk's folder and holds the
// partition's number and start (in 512-byte units).
#include "platform/PartitionParent.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>

namespace stow::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSysDevBlock = "/sys/dev/block";
constexpr const char* kDevDir = "/dev/";
constexpr size_t kMaxDigits = 20;

std::optional<uint64_t> ReadDecimal(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line) || line.empty() || line.size() > kMaxDigits) return std::nullopt;
  uint64_t value = 0;
  for (const char c : line) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

int QueryPartitionPlacement(const std::string& partitionPath, PartitionPlacement& out) {
  struct stat st {};
  if (::stat(partitionPath.c_str(), &st) != 0) return errno;
  if (!S_ISBLK(st.st_mode)) return ENOTBLK;
  std::error_code ec;
  const fs::path dir =
      fs::canonical(fs::path(kSysDevBlock) / (std::to_string(major(st.st_rdev)) + ":" +
                                              std::to_string(minor(st.st_rdev))),
                    ec);
  if (ec) return ENODEV;
  if (!fs::exists(dir / "partition", ec)) return EINVAL;
  const auto number = ReadDecimal(dir / "partition");
  const auto start = ReadDecimal(dir / "start");
  if (!number || !start || *number > UINT32_MAX) return EIO;
  // sysfs spells '/' in a device name as '!' ("cciss!c0d0" is /dev/cciss/c0d0).
  std::string disk = dir.parent_path().filename().string();
  std::replace(disk.begin(), disk.end(), '!', '/');
  const std::string diskPath = kDevDir + disk;
  struct stat diskStat {};
  if (::stat(diskPath.c_str(), &diskStat) != 0 || !S_ISBLK(diskStat.st_mode)) return ENODEV;
  out.diskPath = diskPath;
  out.startSector = *start;
  out.partitionNumber = static_cast<uint32_t>(*number);
  return 0;
}

}  // namespace stow::platform
