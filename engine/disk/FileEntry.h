// One visited MFT file record with copies of its attributes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace stow::engine {

struct FileEntry {
  // The record's own number; for a record that could not be fetched, its index.
  uint64_t recordNumber = 0;
  uint32_t bytesInUse = 0;
  // One exact copy of each attribute header with its body, in record order.
  std::vector<std::vector<std::byte>> attributes;
};

}  // namespace stow::engine
