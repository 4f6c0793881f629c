#include "bootrepair/WindowsVolume.h"

#include <string>
#include <vector>

#include "engine/disk/Disk.h"
#include "support/Log.h"

namespace stow::bootrepair {

using engine::ntfs::FoundFile;
using engine::ntfs::LookupResult;

LookupResult FindWindowsSystemDirectory(engine::CDisk& disk) {
  if (disk.Mft().CheckNtfsVolume() != engine::DiskResult::kOk) return LookupResult::kUnreadable;
  engine::ntfs::DirectoryReader reader(disk.Mft());
  FoundFile found;
  const std::vector<std::u16string> path = {u"Windows", u"System32"};
  const LookupResult result = reader.FindPath(path, found);
  if (result == LookupResult::kFound && !found.directory) return LookupResult::kNotDirectory;
  return result;
}

bool IsWindowsVolume(const platform::VolumeId& volume) {
  engine::CDisk disk;
  if (disk.InitDisk(volume, true) != engine::DiskResult::kOk) return false;
  const LookupResult result = FindWindowsSystemDirectory(disk);
  if (result != LookupResult::kFound && result != LookupResult::kNotFound) {
    LogDebug("IsWindowsVolume %s: %s", volume.DisplayName().c_str(),
             engine::ntfs::LookupResultText(result));
  }
  return result == LookupResult::kFound;
}

}  // namespace stow::bootrepair
