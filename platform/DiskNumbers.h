// How the program numbers whole disks. On Windows the number is the one in
// "\\.\PhysicalDriveN"; here it is the position of the disk among the system's
// whole disks sorted by kernel name (see docs/disk-numbers.md).
#pragma once

#include <string>
#include <vector>

namespace stow::platform {

// The whole-disk device paths in numbering order.
std::vector<std::string> ListWholeDisks();

// Device path of disk `number`; false when there is no such disk.
bool ResolveDiskNumber(int number, std::string& path);

}  // namespace stow::platform
