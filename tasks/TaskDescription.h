// What a task is, as the user chose it: fixed when its course is built, and
// read by every step of it (tasks/Course.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "discovery/PartitionInfo.h"
#include "engine/transfer/TaskState.h"

namespace stow::tasks {

// A path this short ("D:\\") names no image file: a page refuses it.
inline constexpr size_t kShortestImagePath = 3;

struct TaskDescription {
  engine::TaskKind kind = engine::TaskKind::kNone;
  std::string source;       // copy, backup: the volume read
  std::string destination;  // copy, restore: the volume overwritten
  std::string image;        // backup: the image file or its folder; restore: the image file
  bool checksums = true;    // backup: write the checksum file beside the image
  bool verify = false;      // read back what was written before the task counts as done
  bool repair = true;       // copy, restore: disk check, registry, boot files, activation
  // The inventory a page showed when the user chose: the check refuses a
  // choice made on an inventory that has changed since. None for a choice
  // made by name (the command line).
  std::optional<discovery::PartitionList> shown;
};

}  // namespace stow::tasks
