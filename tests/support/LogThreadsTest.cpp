// Many threads writing at once: every line must come out whole, with its own thread's
// identifier, also while the file is being rotated underneath the writers.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/Log.h"
#include "tests/support/LogTestSupport.h"

namespace stow {
namespace {

using test::LogTestGuard;
using test::ReadText;
using test::SplitLines;
using test::TempDir;
namespace fs = std::filesystem;

const ::testing::Environment* const kScratch =
    ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

constexpr int kThreads = 8;
constexpr int kLinesPerThread = 2000;

struct ParsedLine {
  uint64_t threadId = 0;
  int worker = -1;
  int index = -1;
};

bool IsDigits(const std::string& s, size_t pos, size_t count) {
  if (pos + count > s.size()) return false;
  for (size_t i = pos; i < pos + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

// Parses "[YYYY-MM-DD] [hh-mm-ss] [T:id   ] [LESS ]: worker W line N pad..." strictly; any
// interleaving of two lines breaks one of the checks.
bool ParseLine(const std::string& line, ParsedLine& out) {
  constexpr size_t kThreadStart = 27;  // after "[YYYY-MM-DD] [hh-mm-ss] [T:"
  if (line.size() < kThreadStart || line[0] != '[' || !IsDigits(line, 1, 4) || line[5] != '-' ||
      !IsDigits(line, 6, 2) || line[8] != '-' || !IsDigits(line, 9, 2) ||
      line.compare(11, 3, "] [") != 0 || !IsDigits(line, 14, 2) || line[16] != '-' ||
      !IsDigits(line, 17, 2) || line[19] != '-' || !IsDigits(line, 20, 2) ||
      line.compare(22, 5, "] [T:") != 0) {
    return false;
  }
  size_t pos = kThreadStart;
  while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') ++pos;
  if (pos == kThreadStart) return false;
  out.threadId = std::stoull(line.substr(kThreadStart, pos - kThreadStart));
  while (pos < line.size() && line[pos] == ' ') ++pos;
  if (pos < kThreadStart + 5) return false;  // padded to at least five characters
  const std::string tagLess = "] [LESS ]: ", tagDebug = "] [DEBUG]: ";
  if (line.compare(pos, tagLess.size(), tagLess) != 0 &&
      line.compare(pos, tagDebug.size(), tagDebug) != 0) {
    return false;
  }
  pos += tagLess.size();
  int consumed = 0;
  if (std::sscanf(line.c_str() + pos, "worker %d line %d %n", &out.worker, &out.index, &consumed) !=
      2) {
    return false;
  }
  const std::string pad = line.substr(pos + static_cast<size_t>(consumed));
  // Each line carries a pad whose length depends on its index, so a cut or a merge shows.
  return pad == std::string(static_cast<size_t>(out.index % 97), 'p');
}

void WriteFromThreads() {
  std::vector<std::thread> threads;
  for (int w = 0; w < kThreads; ++w) {
    threads.emplace_back([w] {
      for (int i = 0; i < kLinesPerThread; ++i) {
        const std::string pad(static_cast<size_t>(i % 97), 'p');
        if (i % 2 == 0) {
          LogLess("worker %d line %d %s", w, i, pad.c_str());
        } else {
          LogDebug("worker %d line %d %s", w, i, pad.c_str());
        }
      }
    });
  }
  for (auto& t : threads) t.join();
}

// Checks every line of `files` (oldest first) and that each worker's lines are all there,
// once each, in order, under one thread identifier of its own.
void CheckLines(const std::vector<fs::path>& files) {
  std::map<int, std::vector<int>> indexes;
  std::map<int, std::set<uint64_t>> idsOfWorker;
  size_t total = 0;
  for (const auto& file : files) {
    for (const std::string& line : SplitLines(ReadText(file))) {
      ParsedLine p;
      ASSERT_TRUE(ParseLine(line, p)) << file << ": " << line;
      ASSERT_LE(line.size(), kLogLineTextMax);
      indexes[p.worker].push_back(p.index);
      idsOfWorker[p.worker].insert(p.threadId);
      ++total;
    }
  }
  EXPECT_EQ(total, static_cast<size_t>(kThreads * kLinesPerThread));
  std::set<uint64_t> allIds;
  for (int w = 0; w < kThreads; ++w) {
    const std::vector<int>& seen = indexes[w];
    ASSERT_EQ(seen.size(), static_cast<size_t>(kLinesPerThread)) << "worker " << w;
    for (int i = 0; i < kLinesPerThread; ++i) ASSERT_EQ(seen[i], i) << "worker " << w;
    ASSERT_EQ(idsOfWorker[w].size(), 1u) << "worker " << w;
    allIds.insert(*idsOfWorker[w].begin());
  }
  EXPECT_EQ(allIds.size(), static_cast<size_t>(kThreads)) << "each thread has its own id";
}

TEST(LogThreads, LinesOfConcurrentWritersNeverInterleave) {
  LogTestGuard guard;
  TempDir dir;
  const fs::path log = dir / kLogFileName;
  CLog::Instance().SetLevel(kLogDebug);
  ASSERT_EQ(CLog::Instance().Configure(log.string(), kLogBackupCount, kLogSizeLimit), 1);
  WriteFromThreads();
  CheckLines({log});
  EXPECT_EQ(CLog::Instance().WritePosition(), fs::file_size(log));
}

// A small limit makes the writers rotate many times; with enough backups kept nothing is
// dropped, so every line must turn up in exactly one file.
TEST(LogThreads, RotationUnderConcurrentWritersLosesNoLine) {
  LogTestGuard guard;
  TempDir dir;
  const fs::path log = dir / kLogFileName;
  constexpr int kBackups = 40;
  constexpr uint32_t kLimit = 64 * 1024;
  CLog::Instance().SetLevel(kLogDebug);
  ASSERT_EQ(CLog::Instance().Configure(log.string(), kBackups, kLimit), 1);
  WriteFromThreads();
  std::vector<fs::path> files;
  for (int n = kBackups; n >= 1; --n) {
    const fs::path backup = LogBackupName(log.string(), n);
    if (fs::exists(backup)) {
      EXPECT_GT(fs::file_size(backup), kLimit);
      files.push_back(backup);
    }
  }
  ASSERT_GT(files.size(), 5u);
  ASSERT_LT(files.size(), static_cast<size_t>(kBackups)) << "the test needs no backup dropped";
  files.push_back(log);
  CheckLines(files);
}

}  // namespace
}  // namespace stow
