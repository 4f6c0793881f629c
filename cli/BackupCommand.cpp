// stowline-cli backup: backs an NTFS volume up into an image file, with the
// question, the progress and the result of the backup page: the same task
// steps, shown on a terminal or as plain lines.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "cli/Commands.h"
#include "engine/TaskState.h"
#include "platform/Console.h"
#include "tasks/BackupTask.h"
#include "tasks/ProgressStep.h"

namespace stow::cli {
namespace {

using namespace std::chrono_literals;

constexpr const char* kUsage =
    "Usage: stowline-cli backup SOURCE IMAGE [--yes] [--quiet]\n"
    "\n"
    "Backs the NTFS volume SOURCE (a device or an image file of a volume) up into\n"
    "the image file IMAGE, moving only the clusters its files use. When IMAGE is\n"
    "an existing folder, the image gets the default name (prefix, date, suffix)\n"
    "in it. Asks before it starts unless --yes is given; shows the progress each\n"
    "second; Ctrl-C stops the backup and deletes the unfinished image.\n"
    "\n"
    "Exit status: 0 when the backup is completed, the engine's error code when it\n"
    "failed (25 when it was stopped), 1 when it was refused, 2 for a usage error.\n"
    "\n"
    "  --yes     do not ask for confirmation\n"
    "  --quiet   show no progress\n"
    "  --help    show this text\n";

constexpr int kRefused = 1;
constexpr int kUsageError = 2;
constexpr auto kPoll = 100ms;
constexpr int kPollsPerTick = 10;  // one progress tick per second
constexpr int kBarWidth = 30;

struct Options {
  std::string source;
  std::string image;
  bool yes = false;
  bool quiet = false;
};

bool ParseArgs(const Args& args, Options& options, int& status) {
  for (const std::string& a : args) {
    if (a == "--yes" || a == "-y") {
      options.yes = true;
    } else if (a == "--quiet" || a == "-q") {
      options.quiet = true;
    } else if (!a.empty() && a[0] == '-') {
      std::fputs(kUsage, stderr);
      status = Fail(kUsageError, "backup: unknown option '" + a + "'");
      return false;
    } else if (options.source.empty()) {
      options.source = a;
    } else if (options.image.empty()) {
      options.image = a;
    } else {
      std::fputs(kUsage, stderr);
      status = Fail(kUsageError, "backup: more than SOURCE and IMAGE given");
      return false;
    }
  }
  if (options.image.empty()) {
    std::fputs(kUsage, stderr);
    status = Fail(kUsageError, "backup: SOURCE and IMAGE are required");
    return false;
  }
  return true;
}

// Asks the question on the terminal; only "y" or "yes" goes on.
bool Confirm(const std::string& question, int& status) {
  if (!platform::StandardInputIsTerminal()) {
    status = Fail(kRefused, "backup: no terminal to ask for confirmation; add --yes to back up");
    return false;
  }
  std::printf("%s [y/N] ", question.c_str());
  std::fflush(stdout);
  std::string answer;
  std::getline(std::cin, answer);
  answer.erase(std::remove_if(answer.begin(), answer.end(),
                              [](unsigned char c) { return std::isspace(c) != 0; }),
               answer.end());
  std::transform(answer.begin(), answer.end(), answer.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (answer == "y" || answer == "yes") return true;
  status = Fail(kRefused, "backup: not confirmed; nothing was written");
  return false;
}

uint32_t NowSeconds() {
  // A monotonic clock in whole seconds, never 0 (0 marks "no first-data time").
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count()) |
         1u;
}

class ProgressPrinter {
 public:
  explicit ProgressPrinter(bool quiet)
      : quiet_(quiet), terminal_(platform::StandardOutputIsTerminal()) {}

  void Show(const tasks::ProgressView& v) {
    if (quiet_) return;
    if (!terminal_) {
      std::printf("%s  %s of %s  elapsed %s  remaining %s\n", v.percentText.c_str(),
                  v.doneText.c_str(), v.totalText.c_str(), v.elapsedText.c_str(),
                  v.remainingText.c_str());
      std::fflush(stdout);
      return;
    }
    const int filled = v.percent * kBarWidth / 100;
    const std::string bar = std::string(static_cast<size_t>(filled), '#') +
                            std::string(static_cast<size_t>(kBarWidth - filled), '.');
    // Blanks at the end wipe what a longer previous line left.
    std::printf("\r[%s] %5s  %s of %s  %s elapsed, %s left    ", bar.c_str(), v.percentText.c_str(),
                v.doneText.c_str(), v.totalText.c_str(), v.elapsedText.c_str(),
                v.remainingText.c_str());
    std::fflush(stdout);
    shown_ = true;
  }

  void End() {
    if (shown_) std::printf("\n");
    std::fflush(stdout);
  }

 private:
  bool quiet_;
  bool terminal_;
  bool shown_ = false;
};

// Runs the started task to its end, showing its progress each second and
// answering Ctrl-C with a stop. Returns the final error code.
int Follow(engine::TaskState& state, bool quiet) {
  ProgressPrinter printer(quiet);
  tasks::ProgressTracker tracker(NowSeconds(), tasks::kBackupPercentFormat);
  bool stopRequested = false;
  auto pollStop = [&] {
    if (!stopRequested && platform::InterruptRequested()) {
      stopRequested = true;
      state.StopTask();
    }
  };
  for (;;) {
    for (int i = 0; i < kPollsPerTick && state.ErrorCode() == engine::kTaskRunning; ++i) {
      pollStop();
      std::this_thread::sleep_for(kPoll);
    }
    const tasks::ProgressView view = tracker.Step(state.QueryProgress(), NowSeconds());
    if (view.finished) break;
    printer.Show(view);
  }
  // The error code is final; the writer may still be removing an unfinished image.
  while (state.AnyWorkerRunning()) {
    pollStop();
    std::this_thread::sleep_for(kPoll);
  }
  state.WaitForWorkers();
  const tasks::ProgressView last = tracker.Step(state.QueryProgress(), NowSeconds());
  if (last.status == engine::kTaskSuccess) printer.Show(last);
  printer.End();
  return last.status;
}

}  // namespace

int RunBackup(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Options options;
  int status = 0;
  if (!ParseArgs(args, options, status)) return status;

  tasks::BackupSource source;
  std::string why;
  if (tasks::CheckBackupSource(platform::VolumeId(options.source), source, why) != 0) {
    return Fail(kRefused, "backup: " + why);
  }
  tasks::BackupPlan plan;
  if (tasks::PlanBackup(source, options.image, tasks::Today(), plan, why) != 0) {
    return Fail(kRefused, "backup: " + why);
  }
  if (!options.yes && !Confirm(tasks::ConfirmBackupText(plan), status)) return status;

  engine::TaskState& state = engine::ProcessTaskState();
  platform::CatchInterrupts();
  const int started = tasks::StartBackupTask(state, plan);
  if (started != engine::kStartOk) {
    return Fail(kRefused,
                "backup: the engine did not start (start result " + std::to_string(started) + ")");
  }
  const int code = Follow(state, options.quiet);
  const std::string text = tasks::BackupResultText(code);
  if (code != engine::kTaskSuccess) {
    return Fail(code, "backup: " + text + " (error " + std::to_string(code) + ")");
  }
  std::printf("%s\n", text.c_str());
  if (!options.quiet) std::printf("Image: %s\n", plan.imagePath.c_str());
  return 0;
}

}  // namespace stow::cli
