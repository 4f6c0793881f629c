#include "support/StringTable.h"

#include <pugixml.hpp>

#include <map>
#include <set>

#include "support/Log.h"

namespace stow::resources {
extern const unsigned char kStringsXml[];
extern const std::size_t kStringsXmlSize;
}  // namespace stow::resources

namespace stow {
namespace {

constexpr const char* kEntryElement = "string";
constexpr const char* kNameAttribute = "name";

struct Table {
  StringTableReport report;
  std::map<std::string, std::string, std::less<>> texts;
};

const Table& CompiledTable() {
  static const Table table = [] {
    Table t;
    const std::string_view xml(reinterpret_cast<const char*>(resources::kStringsXml),
                               resources::kStringsXmlSize);
    std::vector<std::pair<std::string, std::string>> entries;
    t.report = ParseStringTable(xml, &entries);
    // The first definition of an identifier wins; duplicates are reported.
    for (auto& [id, text] : entries) t.texts.emplace(std::move(id), std::move(text));
    if (!t.report.parsed) LogLess("string table: %s", t.report.error.c_str());
    return t;
  }();
  return table;
}

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

StringTableReport CheckStringTable() { return CompiledTable().report; }

bool FindString(std::string_view id, std::string& text) {
  const auto& texts = CompiledTable().texts;
  const auto it = texts.find(id);
  if (it == texts.end()) return false;
  text = it->second;
  return true;
}

}  // namespace stow
