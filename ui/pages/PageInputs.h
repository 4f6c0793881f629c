// What the pages read from outside themselves: the volumes of the machine, and
// the rule on a path typed into a page.
#pragma once

#include <cstddef>
#include <functional>

#include "discovery/PartitionInfo.h"

namespace stow::ui {

// Where the pages read the volumes from: the whole refresh of the inventory,
// and the enumeration alone that the change detection compares with it.
struct VolumeSource {
  std::function<void(discovery::PartitionList&)> refresh;
  std::function<void(discovery::PartitionList&)> enumerate;

  // The machine's inventory (discovery/Inventory.h).
  static VolumeSource System();
};

// A path of this length or shorter ("D:\") names no file.
inline constexpr size_t kShortestPathRefused = 3;

}  // namespace stow::ui
