// Shared pieces of the task tests: a scratch working directory for the whole
// binary (the log reads its settings from there on first use), a log captured
// into a file the test can read, and a fake program put first on PATH.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "support/Log.h"
#include "tests/support/LogTestSupport.h"
#include "tests/testlib/TestUtil.h"

namespace stow::test {

// Sends the process log to a file of its own while it lives.
class LogCapture {
 public:
  LogCapture() : path_(dir_ / "capture.log") {
    CLog::Instance().Configure(path_.string(), kLogBackupCount, kLogSizeLimit);
    CLog::Instance().SetLevel(kLogDebug);
  }
  ~LogCapture() { CLog::Instance().Close(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The text of every line written so far, without the time and thread prefix.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (const std::string& line : SplitLines(ReadText(path_))) {
      // The prefix (date, time, thread and kind in brackets) ends with "]: ".
      const size_t end = line.find("]: ");
      lines.push_back(end == std::string::npos ? line : line.substr(end + 3));
    }
    return lines;
  }
  int Count(const std::string& text) const {
    int count = 0;
    for (const std::string& line : Lines()) count += line.find(text) != std::string::npos;
    return count;
  }
  std::string All() const { return ReadText(path_); }

 private:
  LogTestGuard guard_;
  TempDir dir_;
  fs::path path_;
};

// A shell script named `name` placed in a folder searched before the system's
// program folders while this lives.
class FakeProgram {
 public:
  FakeProgram(const std::string& name, const std::string& script) {
    const fs::path file = dir_ / name;
    WriteText(file, "#!/bin/sh\n" + script + "\n");
    ::chmod(file.string().c_str(), 0755);
    saved_ = platform::ProgramFolders();
    std::vector<std::string> folders{dir_.Path().string()};
    folders.insert(folders.end(), saved_.begin(), saved_.end());
    platform::SetProgramFoldersForTesting(std::move(folders));
  }
  ~FakeProgram() { platform::SetProgramFoldersForTesting({}); }
  FakeProgram(const FakeProgram&) = delete;
  FakeProgram& operator=(const FakeProgram&) = delete;
  const fs::path& Dir() const { return dir_.Path(); }

 private:
  TempDir dir_;
  std::vector<std::string> saved_;
};

// A sparse file of `bytes` formatted by mkntfs and filled through an ntfs-3g
// mount by the shell command `fill`, run in the volume's root folder.
inline void MakeFilledNtfsVolume(const fs::path& file, uint64_t bytes, const std::string& fill) {
  MakeSparseFile(file, bytes);
  ASSERT_EQ(Run({"mkntfs", "-q", "-F", "-f", file.string()}).status, 0);
  NtfsMount mount(file.string(), false);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  const CommandResult filled = Shell("cd " + Quote(mount.Path().string()) + " && " + fill);
  ASSERT_EQ(filled.status, 0) << filled.output;
}

}  // namespace stow::test
