// Whole disks on Windows are "\\.\PhysicalDriveN": the system's own numbers.
#include "platform/DiskNumbers.h"

#include "platform/windows/Win32.h"

namespace stow::platform {
namespace {

constexpr const char* kDrivePrefix = "\\\\.\\PhysicalDrive";
constexpr const char* kDriveName = "PhysicalDrive";
// Disk numbers probed; the system numbers fixed disks densely from 0.
constexpr int kMaxDiskNumber = 64;

std::string DrivePath(int number) { return kDrivePrefix + std::to_string(number); }

bool DiskExists(int number) {
  win::Handle handle(::CreateFileW(win::Widen(DrivePath(number)).c_str(), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
  return handle.Valid();
}

}  // namespace

std::vector<std::string> ListWholeDisks() {
  std::vector<std::string> disks;
  for (int number = 0; number < kMaxDiskNumber; ++number) {
    if (DiskExists(number)) disks.push_back(DrivePath(number));
  }
  return disks;
}

bool ResolveDiskNumber(int number, std::string& path) {
  if (number < 0 || number >= kMaxDiskNumber || !DiskExists(number)) return false;
  path = DrivePath(number);
  return true;
}

bool DiskNumberOfName(const std::string& kernelName, int& number) {
  std::string digits = kernelName;
  if (digits.rfind(kDrivePrefix, 0) == 0) {
    digits = digits.substr(std::char_traits<char>::length(kDrivePrefix));
  } else if (digits.rfind(kDriveName, 0) == 0) {
    digits = digits.substr(std::char_traits<char>::length(kDriveName));
  } else {
    return false;
  }
  if (digits.empty() || digits.size() > 6) return false;
  int value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  number = value;
  return true;
}

}  // namespace stow::platform
