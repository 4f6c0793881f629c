#include "support/Log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Enums.h"
#include "support/IniFile.h"
#include "tests/support/LogTestSupport.h"

namespace stow {
namespace {

using test::LogTestGuard;
using test::ReadText;
using test::SplitLines;
using test::TempDir;
using test::WriteText;
namespace fs = std::filesystem;

const ::testing::Environment* const kScratch =
    ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

constexpr char kExamplePrefix[] = "[2026-03-05] [09-04-07] [T:812  ] [LESS ]: ";

bool ExampleTime(LogTime& out) {
  out = LogTime{2026, 3, 5, 9, 4, 7};
  return true;
}
uint64_t Thread812() { return 812; }
uint64_t LongestThreadId() { return UINT64_MAX; }

std::string Prefix(LogLevel kind, const LogTime& time, uint64_t thread) {
  char buffer[kLogLineBufferSize];
  const size_t n = FormatLogPrefix(buffer, sizeof buffer, kind, time, thread);
  return std::string(buffer, n);
}

TEST(LogPrefix, RendersDateTimeThreadAndTag) {
  const LogTime t{2026, 3, 5, 9, 4, 7};
  EXPECT_EQ(Prefix(kLogLess, t, 812), kExamplePrefix);
  // Both kinds have the same width, so the messages line up.
  EXPECT_EQ(Prefix(kLogDebug, t, 812), "[2026-03-05] [09-04-07] [T:812  ] [DEBUG]: ");
  EXPECT_EQ(Prefix(kLogLess, t, 12345), "[2026-03-05] [09-04-07] [T:12345] [LESS ]: ");
  // More than five digits: written in full, nothing added.
  EXPECT_EQ(Prefix(kLogLess, t, 1234567), "[2026-03-05] [09-04-07] [T:1234567] [LESS ]: ");
  EXPECT_EQ(Prefix(kLogLess, t, UINT64_MAX),
            "[2026-03-05] [09-04-07] [T:18446744073709551615] [LESS ]: ");
  EXPECT_EQ(Prefix(kLogOff, t, 812), "");
}

TEST(LogPrefix, PadsFieldsAndLeavesOutOfRangeFieldsEmpty) {
  EXPECT_EQ(Prefix(kLogLess, {987, 1, 2, 0, 0, 0}, 1),
            "[0987-01-02] [00-00-00] [T:1    ] [LESS ]: ");
  EXPECT_EQ(Prefix(kLogLess, {9999, 99, 99, 99, 99, 99}, 1),
            "[9999-99-99] [99-99-99] [T:1    ] [LESS ]: ");
  EXPECT_EQ(Prefix(kLogLess, {10000, 100, 5, -1, 4, 100}, 1), "[--05] [-04-] [T:1    ] [LESS ]: ");
  EXPECT_EQ(Prefix(kLogLess, {-1, -12, -5, 9, 4, 7}, 1), "[--] [09-04-07] [T:1    ] [LESS ]: ");
}

TEST(LogPrefix, TooSmallABufferGivesNoPrefix) {
  char buffer[16] = "untouched";
  EXPECT_EQ(FormatLogPrefix(buffer, sizeof buffer, kLogLess, {2026, 3, 5, 9, 4, 7}, 812), 0u);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(FormatLogPrefix(nullptr, 0, kLogLess, {}, 0), 0u);
}

TEST(LogBackupName, InsertsTheNumberBeforeTheLastDotOfTheFileName) {
  EXPECT_EQ(LogBackupName("Larkspur.log", 1), "Larkspur_1.log");
  EXPECT_EQ(LogBackupName("logs/a.b.log", 5), "logs/a.b_5.log");
  EXPECT_EQ(LogBackupName("my.logs/Larkspur", 2), "my.logs/Larkspur_2");
  EXPECT_EQ(LogBackupName("Larkspur", 3), "Larkspur_3");
}

// --- Level from the settings file -------------------------------------------------------

struct LevelCase {
  const char* name;
  const char* settings;  // nullptr: no settings file
  int level;             // the number the settings file stores
  bool repaired;
};

class LogLevelFromSettings : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LogLevelFromSettings, ReadsValidLevelsAndRepairsTheRest) {
  const LevelCase& c = GetParam();
  LogTestGuard guard;
  TempDir dir;
  const std::string path = (dir / "config.ini").string();
  if (c.settings != nullptr) WriteText(path, c.settings);

  CLog::Instance().LoadLevel(path);

  EXPECT_EQ(ToInt(CLog::Instance().Level()), c.level);
  if (c.repaired) {
    EXPECT_EQ(IniReadString(path, "LOG", "LEVEL"), "2");
    EXPECT_EQ(IniReadInt(path, "LOG", "LEVEL", 3), 2);
    // Whatever else the file held is still there.
    if (c.settings != nullptr && std::string(c.settings).find("[UI]") != std::string::npos) {
      EXPECT_EQ(IniReadString(path, "UI", "SCALE"), "150");
    }
  } else {
    EXPECT_EQ(ReadText(path), c.settings) << "a valid level must not rewrite the file";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogLevelFromSettings,
    ::testing::Values(LevelCase{"MissingFile", nullptr, 2, true},
                      LevelCase{"MissingSection", "[UI]\nSCALE=150\n", 2, true},
                      LevelCase{"MissingKey", "[LOG]\nOTHER=1\n[UI]\nSCALE=150\n", 2, true},
                      LevelCase{"Seven", "[LOG]\nLEVEL=7\n", 2, true},
                      LevelCase{"MinusOne", "[UI]\r\nSCALE=150\r\n[LOG]\r\nLEVEL=-1\r\n", 2, true},
                      LevelCase{"Empty", "[LOG]\nLEVEL=\n", 2, true},
                      LevelCase{"Huge", "[LOG]\nLEVEL=4294967298\n", 2, true},
                      LevelCase{"Off", "[LOG]\nLEVEL=0\n", 0, false},
                      LevelCase{"Less", "; verbosity\n[log]\n  level = 1 ; less\n", 1, false},
                      LevelCase{"Debug", "[LOG]\r\nLEVEL=2\r\n", 2, false}),
    [](const auto& param) { return std::string(param.param.name); });

// --- Writing lines ------------------------------------------------------------------------

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    CLog::SetLocalTimeFunction(&ExampleTime);
    CLog::SetThreadIdFunction(&Thread812);
    CLog::Instance().SetLevel(kLogDebug);
  }
  int Configure(int backups = kLogBackupCount, uint32_t limit = kLogSizeLimit) {
    return CLog::Instance().Configure(LogPath().string(), backups, limit);
  }
  fs::path LogPath() const { return dir_ / kLogFileName; }
  fs::path Backup(int n) const { return LogBackupName(LogPath().string(), n); }
  std::string Log() const { return ReadText(LogPath()); }

  LogTestGuard guard_;
  TempDir dir_;
};

TEST_F(LogFile, LineLayoutAndTheTextVariants) {
  ASSERT_EQ(Configure(), 1);
  LogLess("copy %s to %s, error=%d", "a", "b", 24);
  LogDebug("change lcn : %lld !", 77LL);
  LogLessText("read file thread exit!");
  const std::string p = kExamplePrefix;
  const std::string d = "[2026-03-05] [09-04-07] [T:812  ] [DEBUG]: ";
  // The text variants format with "%s\n", so their line is followed by an empty one.
  EXPECT_EQ(Log(), p + "copy a to b, error=24\n" + d + "change lcn : 77 !\n" + p +
                       "read file thread exit!\n\n");
  EXPECT_EQ(CLog::Instance().WritePosition(), Log().size());
}

TEST_F(LogFile, LevelDecidesWhichLinesAreWritten) {
  static int syncs;
  syncs = 0;
  CLog::SetFileSyncFunction([](std::FILE*) {
    ++syncs;
    return true;
  });
  ASSERT_EQ(Configure(), 1);
  CLog& log = CLog::Instance();
  log.SetLevel(kLogOff);
  LogLess("off less");
  LogDebug("off debug");
  LogLessText("off less text");
  LogDebugText("off debug text");
  EXPECT_EQ(Log(), "");
  log.SetLevel(kLogLess);
  LogLess("one less");
  LogDebug("one debug");
  LogDebugText("one debug text");
  log.SetLevel(kLogDebug);
  LogLess("two less");
  LogDebug("two debug");
  const std::vector<std::string> lines = SplitLines(Log());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::string(kExamplePrefix) + "one less");
  EXPECT_EQ(lines[1], std::string(kExamplePrefix) + "two less");
  EXPECT_EQ(lines[2], "[2026-03-05] [09-04-07] [T:812  ] [DEBUG]: two debug");
  // One forced flush per written line, none for a dropped one.
  EXPECT_EQ(syncs, 3);
}

TEST_F(LogFile, LongMessagesAreCutToTheLineBound) {
  ASSERT_EQ(Configure(), 1);
  const std::string prefix = kExamplePrefix;
  const size_t room = kLogLineTextMax - prefix.size();
  const std::string fits(room, 'f');
  const std::string cut(3000, 'c');
  LogLess("%s", fits.c_str());
  LogLess("%s", cut.c_str());
  CLog::SetThreadIdFunction(&LongestThreadId);
  LogDebug("%s", cut.c_str());
  const std::vector<std::string> lines = SplitLines(Log());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], prefix + fits);
  EXPECT_EQ(lines[1], prefix + std::string(room, 'c'));
  EXPECT_EQ(lines[2].size(), kLogLineTextMax);
  EXPECT_EQ(lines[2].substr(0, 27), "[2026-03-05] [09-04-07] [T:");
  EXPECT_EQ(Log().size(), 3 * (kLogLineTextMax + 1));
}

TEST_F(LogFile, AppendsToAnExistingLogBelowTheLimit) {
  WriteText(LogPath(), "earlier run\n");
  ASSERT_EQ(Configure(), 1);
  EXPECT_EQ(CLog::Instance().WritePosition(), 12u);
  LogLess("this run");
  EXPECT_EQ(Log(), "earlier run\n" + std::string(kExamplePrefix) + "this run\n");
  EXPECT_FALSE(fs::exists(Backup(1)));
}

TEST_F(LogFile, RotatesAnOversizedLogWhenOpened) {
  WriteText(LogPath(), std::string(kLogSizeLimit, 'o') + "\n");
  WriteText(Backup(1), "older");
  ASSERT_EQ(Configure(), 1);
  EXPECT_EQ(fs::file_size(LogPath()), 0u);
  EXPECT_EQ(fs::file_size(Backup(1)), kLogSizeLimit + 1);
  EXPECT_EQ(ReadText(Backup(2)), "older");
  EXPECT_EQ(CLog::Instance().WritePosition(), 0u);
}

// A file of exactly the limit is not rotated; the line that takes it past 5,242,880 bytes
// is the last line of the rotated file.
TEST_F(LogFile, AFileOfExactlyTheLimitIsKept) {
  const std::string line = std::string(kExamplePrefix) + "x\n";
  WriteText(LogPath(), std::string(kLogSizeLimit - line.size() - 1, 'a') + "\n");
  ASSERT_EQ(Configure(), 1);
  LogLess("x");
  EXPECT_EQ(fs::file_size(LogPath()), kLogSizeLimit);
  EXPECT_FALSE(fs::exists(Backup(1)));
}

TEST_F(LogFile, RotatesAtExactlyOneByteOverTheLimit) {
  const std::string line = std::string(kExamplePrefix) + "last\n";
  WriteText(LogPath(), std::string(kLogSizeLimit - line.size(), 'a') + "\n");
  ASSERT_EQ(Configure(), 1);
  ASSERT_EQ(fs::file_size(LogPath()), 5242881u - line.size());
  LogLess("last");
  EXPECT_EQ(fs::file_size(Backup(1)), 5242881u);
  const std::string rotated = ReadText(Backup(1));
  EXPECT_EQ(rotated.substr(rotated.size() - line.size()), line);
  EXPECT_EQ(fs::file_size(LogPath()), 0u) << "the new log stays empty until the next line";
  LogLess("next");
  EXPECT_EQ(Log(), std::string(kExamplePrefix) + "next\n");
}

// Small limits below: the rotation rules do not depend on the size.
TEST_F(LogFile, FullSetOfBackupsDropsTheOldest) {
  for (int n = 1; n <= 5; ++n) WriteText(Backup(n), "b" + std::to_string(n));
  ASSERT_EQ(Configure(5, 16), 1);
  LogLess("pushes it over");
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(ReadText(Backup(1)), std::string(kExamplePrefix) + "pushes it over\n");
  for (int n = 2; n <= 5; ++n) EXPECT_EQ(ReadText(Backup(n)), "b" + std::to_string(n - 1));
  EXPECT_FALSE(fs::exists(Backup(6)));
}

TEST_F(LogFile, ShiftStopsAtTheFirstMissingBackup) {
  WriteText(Backup(1), "b1");
  WriteText(Backup(3), "b3");
  WriteText(Backup(4), "b4");
  ASSERT_EQ(Configure(5, 16), 1);
  LogLess("over");
  EXPECT_EQ(ReadText(Backup(1)), std::string(kExamplePrefix) + "over\n");
  EXPECT_EQ(ReadText(Backup(2)), "b1");
  EXPECT_EQ(ReadText(Backup(3)), "b3");
  EXPECT_EQ(ReadText(Backup(4)), "b4");
  EXPECT_FALSE(fs::exists(Backup(5)));
  // Next rotation: _1.._4 present, _5 missing: everything moves up by one.
  LogLess("again");
  EXPECT_EQ(ReadText(Backup(1)), std::string(kExamplePrefix) + "again\n");
  EXPECT_EQ(ReadText(Backup(2)), std::string(kExamplePrefix) + "over\n");
  EXPECT_EQ(ReadText(Backup(3)), "b1");
  EXPECT_EQ(ReadText(Backup(5)), "b4");
}

TEST_F(LogFile, NoBackupsMeansTheLogStartsAfresh) {
  ASSERT_EQ(Configure(0, 16), 1);
  LogLess("gone");
  EXPECT_EQ(Log(), "");
  EXPECT_FALSE(fs::exists(Backup(1)));
  ASSERT_EQ(Configure(1, 16), 1);
  WriteText(Backup(1), "old");
  LogLess("kept");
  EXPECT_EQ(ReadText(Backup(1)), std::string(kExamplePrefix) + "kept\n");
  EXPECT_FALSE(fs::exists(Backup(2)));
}

// A log that cannot be moved away (here the backup name is taken by a folder that cannot be
// removed) stays in use: lines keep being appended, and reopening never loops.
TEST_F(LogFile, KeepsLoggingWhenRotationCannotRename) {
  fs::create_directories(Backup(1) / "busy");
  WriteText(LogPath(), std::string(64, 'o'));
  ASSERT_EQ(Configure(1, 16), 1);
  LogLess("still here");
  EXPECT_EQ(Log(), std::string(64, 'o') + kExamplePrefix + "still here\n");
  EXPECT_TRUE(fs::is_directory(Backup(1) / "busy"));
}

TEST_F(LogFile, LinesAreDroppedWithoutAFile) {
  EXPECT_EQ(CLog::Instance().Configure((dir_ / "missing" / "x.log").string(), 5, 16), 0);
  LogLess("nowhere");
  EXPECT_EQ(CLog::Instance().WritePosition(), 0u);
  ASSERT_EQ(Configure(), 1);
  CLog::Instance().Close();
  LogLess("closed");
  EXPECT_EQ(Log(), "");
}

}  // namespace
}  // namespace stow
