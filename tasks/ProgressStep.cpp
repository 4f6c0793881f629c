#include "tasks/ProgressStep.h"

#include <cstdio>

namespace stow::tasks {
namespace {

constexpr uint64_t kSecondsPerHour = 3600;
constexpr uint64_t kSecondsPerMinute = 60;
constexpr float kKiB = 1024.0f;
constexpr double kMiB = 1048576.0;
constexpr float kUnitsPerNextUnit = 1024.0f;
constexpr uint64_t kFullPercent = 100;
// Texts a failed task leaves on the page.
constexpr const char* kFailedPercentText = "0%";
constexpr const char* kFailedSizeText = "0 G";
constexpr const char* kFailedTimeText = "0 Sec";
constexpr const char* kSuccessPercentText = "100%";
constexpr const char* kNoEstimateText = "0 Sec";

// `format` is one of the pages' percentage formats.
std::string FormatInt(const char* format, int value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string FormatFloat(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string FormatDuration(uint64_t seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu",
                static_cast<unsigned long long>(seconds / kSecondsPerHour),
                static_cast<unsigned long long>(seconds % kSecondsPerHour / kSecondsPerMinute),
                static_cast<unsigned long long>(seconds % kSecondsPerMinute));
  return text;
}

std::string FormatDoneSize(uint64_t bytes) {
  // Single precision, as the pages always showed it.
  const float megabytes = static_cast<float>(bytes) / kKiB / kKiB;
  if (megabytes < kUnitsPerNextUnit) return FormatFloat("%0.2f MB", double{megabytes});
  return FormatFloat("%0.2f GB", double{megabytes / kUnitsPerNextUnit});
}

std::string FormatTotalSize(uint64_t bytes) {
  const auto gigabytes = static_cast<float>(static_cast<double>(bytes) / kMiB) / kUnitsPerNextUnit;
  return FormatFloat("%0.2f GB", double{gigabytes});
}

int Percentage(uint64_t done, uint64_t total) {
  if (total == 0) return 0;
  if (done >= total) return static_cast<int>(kFullPercent);
  // done × 100 needs more than 64 bits for totals beyond 2^57 bytes.
  __extension__ using Wide = unsigned __int128;
  return static_cast<int>(Wide{done} * kFullPercent / total);
}

bool RemainingSeconds(uint64_t done, uint64_t total, uint32_t firstDataTime, uint32_t now,
                      uint64_t& seconds) {
  if (firstDataTime == 0 || firstDataTime >= now) return false;
  const uint64_t rate = done / (now - firstDataTime);
  if (rate == 0) return false;
  seconds = done >= total ? 0 : (total - done) / rate;
  return true;
}

ProgressTracker::ProgressTracker(uint32_t startSeconds, const char* percentFormat)
    : startTime_(startSeconds), percentFormat_(percentFormat), remainingText_(kNoEstimateText) {}

ProgressView ProgressTracker::Step(const engine::TaskProgress& progress, uint32_t nowSeconds) {
  ProgressView view;
  view.status = progress.errorCode;
  view.phase = progress.phase;
  if (progress.phase != phase_) {
    phase_ = progress.phase;
    firstDataTime_ = 0;
    remainingText_ = kNoEstimateText;
  }
  view.finished = view.status != engine::TaskError::kRunning;
  view.totalBytes = progress.totalBytes;
  view.doneBytes =
      view.status == engine::TaskError::kSuccess ? progress.totalBytes : progress.copiedBytes;
  const uint64_t done = view.doneBytes;

  view.elapsedText = FormatDuration(nowSeconds >= startTime_ ? nowSeconds - startTime_ : 0);
  if (done == 0) {
    firstDataTime_ = 0;
  } else if (firstDataTime_ == 0) {
    // The first tick with data only starts the clock of the estimate.
    firstDataTime_ = nowSeconds;
  } else if (uint64_t seconds = 0;
             RemainingSeconds(done, view.totalBytes, firstDataTime_, nowSeconds, seconds)) {
    remainingText_ = FormatDuration(seconds);
  }
  view.remainingText = remainingText_;
  view.doneText = FormatDoneSize(done);
  view.totalText = FormatTotalSize(view.totalBytes);
  view.percent = Percentage(done, view.totalBytes);
  view.percentText = FormatInt(percentFormat_, view.percent);

  if (view.status == engine::TaskError::kSuccess) {
    view.percent = static_cast<int>(kFullPercent);
    view.percentText = kSuccessPercentText;
  } else if (view.finished) {
    view.percent = 0;
    view.percentText = kFailedPercentText;
    view.doneText = kFailedSizeText;
    view.totalText = kFailedSizeText;
    view.elapsedText = kFailedTimeText;
    view.remainingText = kFailedTimeText;
  }
  return view;
}

}  // namespace stow::tasks
