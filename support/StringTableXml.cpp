// The XML reading of a string table, for tests and tools that check a table
// document; the programs carry the table as generated constant data.
#include <pugixml.hpp>

#include <set>

#include "support/StringTable.h"

namespace stow {
namespace {

constexpr const char* kEntryElement = "string";
constexpr const char* kNameAttribute = "name";

}  // namespace

StringTableReport ParseStringTable(std::string_view xml,
                                   std::vector<std::pair<std::string, std::string>>* entries) {
  StringTableReport report;
  pugi::xml_document doc;
  // Leading and trailing blanks of a text are part of it, so nothing is trimmed.
  const pugi::xml_parse_result result =
      doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!result) {
    report.error = std::string(result.description()) + " at offset " +
                   std::to_string(static_cast<long long>(result.offset));
    return report;
  }
  const pugi::xml_node root = doc.document_element();
  if (!root) {
    report.error = "no root element";
    return report;
  }
  std::set<std::string, std::less<>> seen;
  for (const pugi::xml_node node : root.children(kEntryElement)) {
    const std::string id = node.attribute(kNameAttribute).as_string();
    const std::string text = node.text().as_string();
    if (id.empty()) {
      report.unnamed.push_back(text);
      continue;
    }
    if (!seen.insert(id).second) {
      report.duplicates.push_back(id);
      continue;
    }
    if (entries) entries->emplace_back(id, text);
  }
  report.entries = seen.size();
  report.parsed = true;
  return report;
}

}  // namespace stow
