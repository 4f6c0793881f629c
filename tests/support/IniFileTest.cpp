#include "support/IniFile.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "tests/support/LogTestSupport.h"
#include "tests/testlib/TestUtil.h"

namespace stow {
namespace {

using test::ReadText;
using test::TempDir;
using test::WriteText;
namespace fs = std::filesystem;

TEST(IniFindValue, MatchesNamesLikeThePrivateProfileCalls) {
  const std::string text =
      "\xEF\xBB\xBF"
      "orphan=1\r\n"
      "; [LOG] in a comment\r\n"
      "# LEVEL=9\r\n"
      "[ Log ]\r\n"
      "  Level  =  \"1\"  \r\n"
      "name = a = b\r\n"
      "[LOG]\r\n"
      "LEVEL=2\r\n"
      "extra=3\r\n"
      "[UI]\r\n"
      "level=4";
  EXPECT_EQ(IniFindValue(text, "LOG", "LEVEL"), "1");
  EXPECT_EQ(IniFindValue(text, "log", "NAME"), "a = b");
  // A key of a later section of the same name is still found.
  EXPECT_EQ(IniFindValue(text, "LOG", "extra"), "3");
  EXPECT_EQ(IniFindValue(text, "UI", "LEVEL"), "4");
  EXPECT_EQ(IniFindValue(text, "LOG", "orphan"), std::nullopt);
  EXPECT_EQ(IniFindValue(text, "NONE", "LEVEL"), std::nullopt);
  EXPECT_EQ(IniFindValue("[LOG\nLEVEL=1\n", "LOG", "LEVEL"), std::nullopt);
  EXPECT_EQ(IniFindValue("", "LOG", "LEVEL"), std::nullopt);
}

TEST(IniParseInt, TakesTheLeadingIntegerAndSaturates) {
  EXPECT_EQ(IniParseInt("12abc"), 12);
  EXPECT_EQ(IniParseInt(" \t-7 ; comment"), -7);
  EXPECT_EQ(IniParseInt("+3"), 3);
  EXPECT_EQ(IniParseInt("abc"), 0);
  EXPECT_EQ(IniParseInt("-"), 0);
  EXPECT_EQ(IniParseInt("2147483647"), INT_MAX);
  EXPECT_EQ(IniParseInt("-2147483648"), INT_MIN);
  // Far beyond 32 bits: no wrap-around into a small, valid-looking value.
  EXPECT_EQ(IniParseInt("4294967298"), INT_MAX);
  EXPECT_EQ(IniParseInt("-99999999999999999999999"), INT_MIN);
}

TEST(IniSetValue, ReplacesInPlaceAndKeepsEverythingElse) {
  const std::string text = "; settings\r\n[UI]\r\nSCALE=150\r\n[LOG]\r\nLevel = 7 ; bad\r\nX=1\r\n";
  EXPECT_EQ(IniSetValue(text, "LOG", "LEVEL", "2"),
            "; settings\r\n[UI]\r\nSCALE=150\r\n[LOG]\r\nLevel = 2\r\nX=1\r\n");
}

TEST(IniSetValue, AddsTheKeyAtTheEndOfItsSection) {
  EXPECT_EQ(IniSetValue("[LOG]\nX=1\n\n[UI]\nS=1\n", "LOG", "LEVEL", "2"),
            "[LOG]\nX=1\nLEVEL=2\n\n[UI]\nS=1\n");
  EXPECT_EQ(IniSetValue("[LOG]", "LOG", "LEVEL", "2"), "[LOG]\nLEVEL=2\n");
  EXPECT_EQ(IniSetValue("[LOG]\r\nX=1", "LOG", "LEVEL", "2"), "[LOG]\r\nX=1\r\nLEVEL=2\r\n");
  // A last line ended by a lone CR still gets a full line end before the new key.
  EXPECT_EQ(IniSetValue("[LOG]\r", "LOG", "LEVEL", "2"), "[LOG]\r\nLEVEL=2\n");
}

TEST(IniSetValue, AppendsAMissingSection) {
  EXPECT_EQ(IniSetValue("", "LOG", "LEVEL", "2"), "[LOG]\nLEVEL=2\n");
  EXPECT_EQ(IniSetValue("[UI]\r\nS=1", "LOG", "LEVEL", "2"), "[UI]\r\nS=1\r\n[LOG]\r\nLEVEL=2\r\n");
  // A lone CR ending the file becomes a CRLF rather than part of the last value.
  const std::string cr = IniSetValue("[UI]\r\nS=1\r", "LOG", "LEVEL", "2");
  EXPECT_EQ(cr, "[UI]\r\nS=1\r\n[LOG]\r\nLEVEL=2\r\n");
  EXPECT_EQ(IniFindValue(cr, "UI", "S"), "1");
}

TEST(IniCanStore, RefusesWhatWouldChangeTheFileStructure) {
  EXPECT_TRUE(IniCanStore("LOG", "LEVEL", "2"));
  EXPECT_TRUE(IniCanStore("LOG", "LEVEL", ""));
  EXPECT_FALSE(IniCanStore("", "LEVEL", "2"));
  EXPECT_FALSE(IniCanStore("LOG", " ", "2"));
  EXPECT_FALSE(IniCanStore("L]OG", "LEVEL", "2"));
  EXPECT_FALSE(IniCanStore("LOG", "LEV=EL", "2"));
  EXPECT_FALSE(IniCanStore("LOG", ";LEVEL", "2"));
  EXPECT_FALSE(IniCanStore("LOG", "LEVEL", "2\n[X]"));
}

TEST(IniFile, ReadsAndWritesFiles) {
  TempDir dir;
  const std::string path = (dir / "settings.ini").string();
  EXPECT_EQ(IniReadInt(path, "LOG", "LEVEL", 3), 3);
  EXPECT_EQ(IniReadString(path, "LOG", "LEVEL"), std::nullopt);

  ASSERT_TRUE(IniWriteString(path, "LOG", "LEVEL", "1"));
  EXPECT_EQ(ReadText(path), "[LOG]\nLEVEL=1\n");
  ASSERT_TRUE(IniWriteString(path, "UI", "SCALE", "150"));
  ASSERT_TRUE(IniWriteString(path, "LOG", "LEVEL", "2"));
  EXPECT_EQ(ReadText(path), "[LOG]\nLEVEL=2\n[UI]\nSCALE=150\n");
  EXPECT_EQ(IniReadInt(path, "LOG", "LEVEL", 3), 2);

  EXPECT_FALSE(IniWriteString(path, "LOG", "LEV=EL", "2"));
  EXPECT_FALSE(fs::exists(path + ".new")) << "no temporary file left behind";
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);

  WriteText(path, "[LOG]\nLEVEL=\n");
  EXPECT_EQ(IniReadInt(path, "LOG", "LEVEL", 3), 3) << "an empty value reads as the default";
}

TEST(IniFile, LeavesFilesItCannotHandleAlone) {
  TempDir dir;
  // A folder where the file should be, or a file far larger than any settings file.
  const fs::path folder = dir / "folder.ini";
  fs::create_directory(folder);
  EXPECT_EQ(IniReadInt(folder.string(), "LOG", "LEVEL", 3), 3);
  EXPECT_FALSE(IniWriteString(folder.string(), "LOG", "LEVEL", "2"));
  EXPECT_TRUE(fs::is_directory(folder));

  const fs::path big = dir / "big.ini";
  WriteText(big, "[LOG]\nLEVEL=1\n" + std::string(kIniMaxFileBytes, ';'));
  EXPECT_EQ(IniReadInt(big.string(), "LOG", "LEVEL", 3), 3);
  EXPECT_FALSE(IniWriteString(big.string(), "LOG", "LEVEL", "2"));
  EXPECT_EQ(fs::file_size(big), kIniMaxFileBytes + 14);

  EXPECT_FALSE(IniWriteString((dir / "no" / "such.ini").string(), "LOG", "LEVEL", "2"));
}

// What we write must be read the same way by an independent INI reader.
TEST(IniFile, WrittenFilesReadBackWithAnotherParser) {
  STOW_REQUIRE({"python3"}, false, false);
  TempDir dir;
  const fs::path path = dir / "config.ini";
  WriteText(path, "; user notes\r\n[UI]\r\nSCALE=150\r\n\r\n[LOG]\r\nLEVEL=-1\r\n");
  ASSERT_TRUE(IniWriteString(path.string(), "LOG", "LEVEL", "2"));
  ASSERT_TRUE(IniWriteString(path.string(), "NEW", "KEY", "value"));
  const auto r = test::Run({"python3", "-c",
                            "import configparser,sys\n"
                            "c=configparser.ConfigParser()\n"
                            "c.read(sys.argv[1])\n"
                            "print(c['LOG']['LEVEL'], c['UI']['SCALE'], c['NEW']['KEY'], end='')\n",
                            path.string()});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "2 150 value");
}

}  // namespace
}  // namespace stow
