// How the program numbers whole disks. On Windows the number is the one in
// "\\.\PhysicalDriveN"; here fixed disks are numbered from 0 in the natural order
// of their kernel names and loop device N gets kLoopDiskNumberBase + N, so that
// attaching or detaching a loop device never renumbers another disk (see
// docs/disk-numbers.md).
#pragma once

#include <string>
#include <vector>

namespace stow::platform {

inline constexpr int kLoopDiskNumberBase = 1000;
// Loop indexes past this get no number (the kernel's limit is far lower in practice).
inline constexpr int kMaxLoopIndex = 1000000;

// The whole-disk device paths in numbering order.
std::vector<std::string> ListWholeDisks();

// Device path of disk `number`; false when there is no such disk.
[[nodiscard]] bool ResolveDiskNumber(int number, std::string& path);

// The number of the whole disk with kernel name `kernelName` ("sda", "loop3");
// false when it is not a numbered disk (removable, optical, virtual, ...).
[[nodiscard]] bool DiskNumberOfName(const std::string& kernelName, int& number);

}  // namespace stow::platform
