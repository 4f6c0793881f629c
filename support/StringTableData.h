// The string table as the build compiles it in (cmake/StringTableSource.py
// generates the definitions from resources/strings.xml): constant data, ready
// before any code runs.
#pragma once

#include <cstddef>

namespace stow::resources {

struct StringTableEntry {
  const char* id;
  const char* text;
};

// Each array ends with a null entry after its count of real ones.
extern const StringTableEntry kStringEntries[];
extern const std::size_t kStringEntryCount;
extern const char* const kStringDuplicates[];
extern const std::size_t kStringDuplicateCount;
extern const char* const kStringUnnamed[];
extern const std::size_t kStringUnnamedCount;

}  // namespace stow::resources
