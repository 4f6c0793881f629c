// Shared pieces of the log tests: a scratch working directory for the whole test binary, so
// that the log's first use (which reads, and may repair, the settings file in the working
// directory) leaves nothing behind, and helpers to read what the log wrote.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/Log.h"
#include "tests/testlib/TestUtil.h"

namespace stow::test {

// Runs every test of the binary inside a temporary working directory, removed at the end.
class ScratchWorkingDirectory : public ::testing::Environment {
 public:
  void SetUp() override {
    original_ = fs::current_path();
    dir_ = std::make_unique<TempDir>();
    fs::current_path(dir_->Path());
  }
  void TearDown() override {
    fs::current_path(original_);
    dir_.reset();
  }

 private:
  fs::path original_;
  std::unique_ptr<TempDir> dir_;
};

inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The lines of a log file without their line feeds; a trailing line feed ends the last line.
inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find('\n', start);
    if (lf == std::string::npos) lf = text.size();
    lines.push_back(text.substr(start, lf - start));
    start = lf + 1;
  }
  return lines;
}

// Puts the process-wide log back the way the tests expect it when a test ends: file closed,
// default hooks, the level it had.
class LogTestGuard {
 public:
  LogTestGuard() : level_(CLog::Instance().Level()) {}
  ~LogTestGuard() {
    CLog& log = CLog::Instance();
    log.Close();
    log.SetLevel(level_);
    CLog::SetThreadIdFunction(nullptr);
    CLog::SetLocalTimeFunction(nullptr);
    CLog::SetFileSyncFunction(nullptr);
  }
  LogTestGuard(const LogTestGuard&) = delete;
  LogTestGuard& operator=(const LogTestGuard&) = delete;

 private:
  LogLevel level_;
};

}  // namespace stow::test
