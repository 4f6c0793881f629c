#include "support/StringTable.h"

#include <map>

#include "support/StringTableData.h"

namespace stow {
namespace {

struct Table {
  StringTableReport report;
  std::map<std::string, std::string, std::less<>> texts;
};

const Table& CompiledTable() {
  static const Table table = [] {
    Table t;
    for (std::size_t i = 0; i < resources::kStringEntryCount; ++i) {
      t.texts.emplace(resources::kStringEntries[i].id, resources::kStringEntries[i].text);
    }
    for (std::size_t i = 0; i < resources::kStringDuplicateCount; ++i) {
      t.report.duplicates.emplace_back(resources::kStringDuplicates[i]);
    }
    for (std::size_t i = 0; i < resources::kStringUnnamedCount; ++i) {
      t.report.unnamed.emplace_back(resources::kStringUnnamed[i]);
    }
    // The build refuses a table that does not parse.
    t.report.parsed = true;
    t.report.entries = t.texts.size();
    return t;
  }();
  return table;
}

}  // namespace

StringTableReport CheckStringTable() { return CompiledTable().report; }

bool FindString(std::string_view id, std::string& text) {
  const auto& texts = CompiledTable().texts;
  const auto it = texts.find(id);
  if (it == texts.end()) return false;
  text = it->second;
  return true;
}

}  // namespace stow
