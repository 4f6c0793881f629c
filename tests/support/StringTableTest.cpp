// The compiled-in string table: it parses, has one entry per identifier, holds
// exactly the texts of the source resource, and keeps blanks and non-ASCII text.
#include "support/StringTable.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace stow {
namespace {

TEST(StringTable, CompiledTableParsesWithoutDuplicatesOrUnnamedEntries) {
  const StringTableReport report = CheckStringTable();
  ASSERT_TRUE(report.parsed) << report.error;
  EXPECT_TRUE(report.duplicates.empty()) << report.duplicates.front();
  EXPECT_TRUE(report.unnamed.empty());
  EXPECT_GE(report.entries, 60u);
}

TEST(StringTable, HoldsTheTextsTheEngineAndTasksUse) {
  const std::pair<const char*, const char*> expected[] = {
      {"errorNo", "Not found Error!"},
      {"errorRun", "Running Error!"},
      {"errorSpaceNotEnough", "The disk space is not enough."},
      {"errorManualStop", " The operation is stopped."},  // leading blank kept
      {"copySystemSuccess", "The copy is completed."},
      {"notice", "Tips"},
      {"destEqualSour", "The destination volume must be different from the source volume. "},
      {"copybcderror", "Fail to copy BCD. error code\xEF\xBC\x9A%d"},  // full-width colon
      {"winpeExist", "WinPE is existed currently, path  %s , click OK to open the dirctory"},
      {"backupFileError", "Error: The backup file can't be read."},
      {"filePrefix", "Velmoras"},
      {"fileSuffix", "vmg"},
      {"col1", "HD No"},
      {"col5", "File System"},
  };
  for (const auto& [id, text] : expected) EXPECT_EQ(LoadText(id), text) << id;
  EXPECT_EQ(LoadText("noSuchIdentifier"), "");
  std::string untouched = "kept";
  EXPECT_FALSE(FindString("noSuchIdentifier", untouched));
  EXPECT_EQ(untouched, "kept");
}

TEST(StringTable, CompiledTableMatchesTheSourceResource) {
  std::ifstream in(std::string(STOWLINE_SOURCE_DIR) + "/resources/strings.xml",
                   std::ios::binary);
  ASSERT_TRUE(in) << "cannot open the source resource";
  std::stringstream xml;
  xml << in.rdbuf();
  std::vector<std::pair<std::string, std::string>> entries;
  const StringTableReport report = ParseStringTable(xml.str(), &entries);
  ASSERT_TRUE(report.parsed) << report.error;
  EXPECT_EQ(report.entries, CheckStringTable().entries);
  for (const auto& [id, text] : entries) EXPECT_EQ(LoadText(id), text) << id;
}

TEST(StringTable, ParserReportsBrokenXmlAndDuplicates) {
  EXPECT_FALSE(ParseStringTable("<resources><string name=\"a\">x</resources>", nullptr).parsed);
  EXPECT_FALSE(ParseStringTable("", nullptr).parsed);
  std::vector<std::pair<std::string, std::string>> entries;
  const StringTableReport r = ParseStringTable(
      "<resources><string name=\"a\">first</string><string name=\"a\">second</string>"
      "<string>orphan</string><string name=\"b\">&lt;b&gt; &amp; more</string></resources>",
      &entries);
  ASSERT_TRUE(r.parsed);
  EXPECT_EQ(r.entries, 2u);
  ASSERT_EQ(r.duplicates.size(), 1u);
  EXPECT_EQ(r.duplicates[0], "a");
  ASSERT_EQ(r.unnamed.size(), 1u);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].second, "first");
  EXPECT_EQ(entries[1].second, "<b> & more");
}

}  // namespace
}  // namespace stow
