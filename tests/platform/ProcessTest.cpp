// Other programs run with this program's rights, so they come only from the
// system's program folders: never from PATH, never from a path elsewhere.
#include "platform/Process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

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

  ProcessOutcome out;
  RunProcess({"only-on-path"}, 100, out);
  EXPECT_EQ(out.stage, ProcessStage::kStart);
  EXPECT_EQ(out.error, ENOENT);
  std::string output;
  EXPECT_EQ(RunProgram({"true"}, output), 0);
  EXPECT_FALSE(fs::exists(marker)) << "a program was taken from PATH";

  RunProcess({(dir_ / "only-on-path").string()}, 100, out);
  EXPECT_EQ(out.stage, ProcessStage::kStart);
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
  std::string output;
  EXPECT_EQ(RunProgram(argv, output), 7);
  EXPECT_EQ(output, "2:a b:c\n");
}

}  // namespace
}  // namespace stow::platform
