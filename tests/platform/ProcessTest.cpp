// Other programs run with this program's rights, so they come only from the
// system's program folders: never from PATH, never from a path elsewhere.
#include "platform/Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tests/testlib/TestUtil.h"

namespace stow::platform {
namespace {

namespace fs = std::filesystem;

void WriteScript(const fs::path& file, const std::string& body) {
  std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
  ::chmod(file.c_str(), 0755);
}

class ProgramFolderTest : public ::testing::Test {
 protected:
  ~ProgramFolderTest() override {
    SetProgramFoldersForTesting({});
    ::setenv("PATH", savedPath_.c_str(), 1);
  }
  test::TempDir dir_;
  std::string savedPath_ = std::getenv("PATH") ? std::getenv("PATH") : "";
};

TEST_F(ProgramFolderTest, ProgramsResolveInsideTheSystemFoldersOnly) {
  std::string path;
  ASSERT_EQ(ResolveProgram("sh", path), 0);
  EXPECT_TRUE(path == "/usr/bin/sh" || path == "/bin/sh" || path == "/usr/sbin/sh") << path;
  ASSERT_EQ(ResolveProgram(path, path), 0) << "an absolute path inside a folder is taken";

  EXPECT_EQ(ResolveProgram("no-such-program-here", path), ENOENT);
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(ResolveProgram("", path), ENOENT);
  // Paths that leave the folders, however they are spelled.
  WriteScript(dir_ / "tool", "exit 0");
  EXPECT_EQ(ResolveProgram((dir_ / "tool").string(), path), ENOENT);
  EXPECT_EQ(ResolveProgram("/usr/bin/../../" + (dir_ / "tool").string().substr(1), path), ENOENT);
  EXPECT_EQ(ResolveProgram("./tool", path), ENOENT);
  EXPECT_EQ(ResolveProgram("/usr/bin/", path), ENOENT);
  // A folder of that name is not a program.
  fs::create_directory(dir_ / "folder");
  SetProgramFoldersForTesting({dir_.Path().string()});
  EXPECT_EQ(ResolveProgram("folder", path), ENOENT);
  EXPECT_EQ(ResolveProgram("tool", path), 0);
  EXPECT_EQ(path, (dir_ / "tool").string());
}

TEST_F(ProgramFolderTest, AProgramOnlyOnPathIsNotRunAndTheSystemsOneIsUsedInstead) {
  const fs::path marker = dir_ / "ran";
  WriteScript(dir_ / "true", "touch " + marker.string());
  WriteScript(dir_ / "only-on-path", "touch " + marker.string());
  ::setenv("PATH", (dir_.Path().string() + ":" + savedPath_).c_str(), 1);

  RunOutcome out = RunProgram({.argv = {"only-on-path"}});
  EXPECT_EQ(out.end, kNotAllowed);
  EXPECT_EQ(out.error, ENOENT);
  EXPECT_TRUE(RunProgram({.argv = {"true"}}).Succeeded());
  EXPECT_FALSE(fs::exists(marker)) << "a program was taken from PATH";

  out = RunProgram({.argv = {(dir_ / "only-on-path").string()}});
  EXPECT_EQ(out.end, kNotAllowed);
  EXPECT_EQ(out.error, ENOENT);
  EXPECT_FALSE(fs::exists(marker));
}

// A script shipped beside the program runs through the interpreter from the
// system's folders, with its arguments, whether or not it may be executed itself.
TEST(ShippedScript, RunsThroughTheInterpreterWithoutExecutePermission) {
  test::TempDir dir;
  const fs::path script = dir / ScriptFileName("Assist");
  EXPECT_EQ(script.filename(), "Assist.sh");
  std::ofstream(script) << "echo \"$#:$1:$2\"\nexit 7\n";
  ::chmod(script.c_str(), 0644);
  std::vector<std::string> argv = ScriptCommand(script.string());
  argv.insert(argv.end(), {"a b", "c"});
  const RunOutcome out = RunProgram({.argv = argv});
  EXPECT_EQ(out.exitStatus, 7);
  EXPECT_EQ(out.output, "2:a b:c\n");
}

// The line rule across pieces as a pipe hands them over: a line may be cut
// anywhere, also between the CR and LF of one line end.
TEST(LineSplitter, JoinsPiecesAndEndsLinesAtCrAndLf) {
  const struct {
    std::vector<std::string> pieces;
    std::vector<std::string> lines;
  } cases[] = {
      {{"one\ntwo\n"}, {"one", "two"}},
      {{"on", "e\r", "\ntw", "o"}, {"one", "two"}},  // the unended last line comes at Finish
      {{"50%\r", "100%\rdone\r\n"}, {"50%", "100%", "done"}},
      {{"\n\r\n", "", "\r", "x", "\n\n"}, {"x"}},  // empty lines are not reported
      {{"a", "b", "c"}, {"abc"}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> lines;
    LineSplitter splitter([&](std::string_view line) { lines.emplace_back(line); });
    for (const std::string& piece : c.pieces) splitter.Feed(piece);
    splitter.Finish();
    EXPECT_EQ(lines, c.lines) << ::testing::PrintToString(c.pieces);
  }
}

size_t OpenDescriptors() {
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    static_cast<void>(entry);
    ++count;
  }
  return count;
}

// A process that is gone, or a zombie waiting for its new parent to reap it.
bool Dead(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  return close == std::string::npos || text.substr(close + 2, 1) == "Z";
}

// The runner over small programs of the system's folders. The programs that
// start a sleeper print its process id first, so that the test can see it
// die with its group, or end it when the runner rightly left it alone.
TEST(RunProgram, EndsLimitsAndLinesOfSmallPrograms) {
  using std::chrono::milliseconds;
  const struct Case {
    const char* name = "";
    std::vector<std::string> argv{};
    size_t outputLimit = kDefaultOutputLimit;
    milliseconds timeLimit{0};
    bool stopOnFirstLine = false;
    std::vector<std::string> environment{};
    RunEnd end = kExited;
    int exitStatus = 0;
    std::vector<std::string> lines{};  // after the sleeper's id, if any
    bool truncated = false;
    bool sleeper = false;  // the first line is a sleeping child's id
    bool sleeperDies = false;
  } cases[] = {
      {.name = "lines over chunks",
       .argv = {"sh", "-c", "printf 'a\\r\\nb'; sleep 0.1; printf 'c\\rd\\n\\n\\ne'"},
       .lines = {"a", "bc", "d", "e"}},
      {.name = "exit status",
       .argv = {"sh", "-c", "echo x >&2; exit 7"},
       .exitStatus = 7,
       .lines = {"x"}},
      {.name = "signal", .argv = {"sh", "-c", "kill -TERM $$"}, .exitStatus = 128 + SIGTERM},
      {.name = "limit on a line end",
       .argv = {"sh", "-c", "yes line | head -n 100000"},
       .outputLimit = 20,
       .lines = {"line", "line", "line", "line"},
       .truncated = true},
      {.name = "limit inside a line",
       .argv = {"sh", "-c", "yes line | head -n 100000"},
       .outputLimit = 22,
       .lines = {"line", "line", "line", "line", "li"},
       .truncated = true},
      {.name = "environment",
       .argv = {"sh", "-c", "echo \"$STOW_A:$HOME\""},
       .environment = {"STOW_A=1", "HOME=/nowhere"},
       .lines = {"1:/nowhere"}},
      {.name = "time limit",
       .argv = {"sh", "-c", "sleep 60 & echo $!; wait"},
       .timeLimit = milliseconds(1000),
       .end = kTimedOut,
       .exitStatus = 128 + SIGKILL,
       .sleeper = true,
       .sleeperDies = true},
      {.name = "stop",
       .argv = {"sh", "-c", "sleep 60 & echo $!; wait"},
       .stopOnFirstLine = true,
       .end = kStopped,
       .exitStatus = 128 + SIGKILL,
       .sleeper = true,
       .sleeperDies = true},
      // Its child keeps the pipe open: the run ends with the program all the same.
      {.name = "child holds the pipe",
       .argv = {"sh", "-c", "sleep 60 & echo $!; echo done"},
       .lines = {"done"},
       .sleeper = true},
      {.name = "not allowed",
       .argv = {"/nonexistent/program"},
       .end = kNotAllowed,
       .exitStatus = -1},
      {.name = "nothing", .argv = {}, .end = kNotAllowed, .exitStatus = -1},
  };
  // A descriptor another thread opened without O_CLOEXEC must not reach a child.
  const int stray = ::fcntl(::open("/dev/null", O_RDONLY | O_CLOEXEC), F_DUPFD, 50);
  ASSERT_GE(stray, 50);
  const size_t before = OpenDescriptors();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> handed;
    ProgramRun run{.argv = c.argv, .outputLimit = c.outputLimit, .timeLimit = c.timeLimit};
    if (c.stopOnFirstLine) run.stop = [&] { return !handed.empty(); };
    run.onLine = [&](std::string_view line) { handed.emplace_back(line); };
    run.environment = c.environment;
    const RunOutcome out = RunProgram(run);
    EXPECT_EQ(out.end, c.end) << RunEndLabel(out.end);
    EXPECT_EQ(out.exitStatus, c.exitStatus);
    EXPECT_EQ(out.outputTruncated, c.truncated);
    EXPECT_EQ(handed, out.lines) << "the callback saw other lines";
    std::vector<std::string> lines = out.lines;
    if (c.sleeper) {
      ASSERT_FALSE(lines.empty());
      const pid_t sleeper = std::stoi(lines.front());
      lines.erase(lines.begin());
      if (c.sleeperDies) {
        for (int i = 0; i < 100 && !Dead(sleeper); ++i) {
          std::this_thread::sleep_for(milliseconds(20));
        }
        EXPECT_TRUE(Dead(sleeper)) << "the kill missed the program's group";
      } else {
        EXPECT_FALSE(Dead(sleeper));
        ::kill(sleeper, SIGKILL);
      }
    }
    EXPECT_EQ(lines, c.lines);
  }
  EXPECT_EQ(OpenDescriptors(), before);
  const RunOutcome listing = RunProgram({.argv = {"ls", "/proc/self/fd"}});
  EXPECT_EQ(std::count(listing.lines.begin(), listing.lines.end(), std::to_string(stray)), 0)
      << listing.output;
  ::close(stray);
}

}  // namespace
}  // namespace stow::platform
