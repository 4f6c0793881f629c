#include "platform/DiskNumbers.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace stow::platform {
namespace {

namespace fs = std::filesystem;

std::string ReadSysfsLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool IsWholeDiskCandidate(const fs::path& entry) {
  const std::string name = entry.filename().string();
  if (name.starts_with("ram") || name.starts_with("zram") || name.starts_with("sr") ||
      name.starts_with("fd") || name.starts_with("dm-") || name.starts_with("md")) {
    return false;
  }
  if (ReadSysfsLine(entry / "removable") == "1") return false;
  if (ReadSysfsLine(entry / "size") == "0") return false;
  // A loop device counts only while it has a backing file.
  if (name.starts_with("loop") && !fs::exists(entry / "loop" / "backing_file")) return false;
  return true;
}

}  // namespace

std::vector<std::string> ListWholeDisks() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/block", ec)) {
    if (IsWholeDiskCandidate(entry.path())) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    // Natural order: loop2 before loop10.
    return a.size() != b.size() && a.substr(0, 4) == b.substr(0, 4) ? a.size() < b.size() : a < b;
  });
  std::vector<std::string> paths;
  for (const auto& n : names) paths.push_back("/dev/" + n);
  return paths;
}

bool ResolveDiskNumber(int number, std::string& path) {
  const auto disks = ListWholeDisks();
  if (number < 0 || static_cast<size_t>(number) >= disks.size()) return false;
  path = disks[static_cast<size_t>(number)];
  return true;
}

}  // namespace stow::platform
