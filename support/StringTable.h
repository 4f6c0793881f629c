// The program's string table: every user-visible text under its identifier.
//
// The table is the XML resource resources/strings.xml, turned into constant
// data by the build (cmake/StringTableSource.py) and compiled into every
// program. Texts are UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace stow {

// True when the table has an entry `id`; its text goes to `text`.
bool FindString(std::string_view id, std::string& text);

// The text of `id`; empty when the table has no such entry. Not named
// LoadString: a system header on Windows defines a macro of that name.
inline std::string LoadText(std::string_view id) {
  std::string text;
  FindString(id, text);
  return text;
}

// What the build found in the compiled-in table, for tests and diagnostics.
struct StringTableReport {
  bool parsed = false;
  std::string error;                    // parser message when not parsed
  size_t entries = 0;                   // distinct identifiers
  std::vector<std::string> duplicates;  // identifiers defined more than once
  std::vector<std::string> unnamed;     // texts of entries without a name
};
StringTableReport CheckStringTable();

// Parses an XML string table (root element with <string name="id">text</string>
// children) from memory, as the build reads the compiled-in one; for tests
// (built where pugixml is installed: support/StringTableXml.cpp).
StringTableReport ParseStringTable(std::string_view xml,
                                   std::vector<std::pair<std::string, std::string>>* entries);

}  // namespace stow
