// The order in which fixed disks get their numbers here (see
// platform/DiskNumbers.h and docs/disk-numbers.md).
#pragma once

#include <string_view>

namespace stow::platform {

// Runs of digits compare by value ("nvme2n1" before "nvme10n1") and lettered
// disks count their letters like a number ("sdz" before "sdaa").
[[nodiscard]] bool DiskNameLess(std::string_view a, std::string_view b);

}  // namespace stow::platform
