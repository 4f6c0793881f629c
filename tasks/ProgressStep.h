// The progress step of a running task: once a second a front end reads the
// engine's progress and shows sizes, times and the percentage. The arithmetic
// and the texts live here, free of any toolkit, so that the window and the
// command line show the same figures.
#pragma once

#include <cstdint>
#include <string>

#include "engine/transfer/TaskState.h"

namespace stow::tasks {

// The percentage formats of the pages: copy "%d%%", backup and restore "%d %%".
inline constexpr const char* kCopyPercentFormat = "%d%%";
inline constexpr const char* kBackupPercentFormat = "%d %%";

struct ProgressView {
  engine::TaskError status = engine::TaskError::kRunning;  // running, success, else the error
  engine::TaskPhase phase = engine::TaskPhase::kTransfer;  // the sizes are the phase's
  bool finished = false;                                   // status is no longer 0
  uint64_t totalBytes = 0;
  uint64_t doneBytes = 0;
  int percent = 0;  // 0..100, for the bar
  std::string percentText;
  std::string doneText;       // "12.50 MB" or "1.25 GB"
  std::string totalText;      // "3.00 GB"
  std::string elapsedText;    // "00:01:05"
  std::string remainingText;  // "00:00:40", "0 Sec" until an estimate exists
};

// "%02d:%02d:%02d" of a number of seconds.
std::string FormatDuration(uint64_t seconds);
// The done-size text: "%0.2f MB" below 1,024 MiB, else "%0.2f GB".
std::string FormatDoneSize(uint64_t bytes);
// The total-size text: always "%0.2f GB".
std::string FormatTotalSize(uint64_t bytes);
// done × 100 ÷ total, 0 when total is 0, never above 100, without overflow.
int Percentage(uint64_t done, uint64_t total);
// Seconds left at the rate seen since the first data; false when there is no
// estimate yet (no time has passed since the first data, or the rate is 0).
bool RemainingSeconds(uint64_t done, uint64_t total, uint32_t firstDataTime, uint32_t now,
                      uint64_t& seconds);

// Keeps what one page keeps between ticks: its start time, the first-data time
// and the last remaining-time text.
class ProgressTracker {
 public:
  ProgressTracker(uint32_t startSeconds, const char* percentFormat = kBackupPercentFormat);

  // One tick at `nowSeconds` (a monotonic clock in whole seconds). A new phase
  // starts its estimate afresh.
  ProgressView Step(const engine::TaskProgress& progress, uint32_t nowSeconds);

  uint32_t FirstDataTime() const { return firstDataTime_; }

 private:
  uint32_t startTime_;
  const char* percentFormat_;
  uint32_t firstDataTime_ = 0;
  std::string remainingText_;
  engine::TaskPhase phase_ = engine::TaskPhase::kTransfer;
};

}  // namespace stow::tasks
