#include "cli/TaskConsole.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "cli/Commands.h"
#include "cli/ExitStatus.h"
#include "platform/Console.h"
#include "tasks/ProgressStep.h"

namespace stow::cli {
namespace {

using namespace std::chrono_literals;

constexpr auto kPoll = 100ms;
constexpr int kPollsPerTick = 10;  // one progress tick per second
constexpr int kBarWidth = 30;

uint32_t NowSeconds() {
  // A monotonic clock in whole seconds, from 1 (0 marks "no first-data time").
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count()) +
         1u;
}

class ProgressPrinter {
 public:
  explicit ProgressPrinter(bool quiet)
      : quiet_(quiet), terminal_(platform::StandardOutputIsTerminal()) {}

  explicit ProgressPrinter(bool quiet, std::string label) : ProgressPrinter(quiet) {
    label_ = std::move(label);
  }

  void Show(const tasks::ProgressView& v) {
    if (quiet_) return;
    const char* label = v.phase == engine::TaskPhase::kVerify ? "Verifying " : label_.c_str();
    if (!terminal_) {
      std::printf("%s%s  %s of %s  elapsed %s  remaining %s\n", label, v.percentText.c_str(),
                  v.doneText.c_str(), v.totalText.c_str(), v.elapsedText.c_str(),
                  v.remainingText.c_str());
      std::fflush(stdout);
      return;
    }
    const int filled = v.percent * kBarWidth / 100;
    const std::string bar = std::string(static_cast<size_t>(filled), '#') +
                            std::string(static_cast<size_t>(kBarWidth - filled), '.');
    // Blanks at the end wipe what a longer previous line left.
    std::printf("\r%s[%s] %5s  %s of %s  %s elapsed, %s left    ", label, bar.c_str(),
                v.percentText.c_str(), v.doneText.c_str(), v.totalText.c_str(),
                v.elapsedText.c_str(), v.remainingText.c_str());
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
  std::string label_;
};

}  // namespace

bool ConfirmOnTerminal(const std::string& command, const std::string& question,
                       const std::string& verb, int& status) {
  if (!platform::StandardInputIsTerminal()) {
    status =
        Fail(kTaskRefused, command + ": no terminal to ask for confirmation; add --yes to " + verb);
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
  status = Fail(kTaskRefused, command + ": not confirmed; nothing was written");
  return false;
}

engine::TaskError FollowTask(engine::TaskState& state, bool quiet, const char* percentFormat) {
  ProgressPrinter printer(quiet);
  tasks::ProgressTracker tracker(NowSeconds(), percentFormat);
  bool stopRequested = false;
  auto pollStop = [&] {
    if (!stopRequested && platform::InterruptRequested()) {
      stopRequested = true;
      state.StopTask();
    }
  };
  for (;;) {
    for (int i = 0; i < kPollsPerTick && state.ErrorCode() == engine::TaskError::kRunning; ++i) {
      pollStop();
      std::this_thread::sleep_for(kPoll);
    }
    const tasks::ProgressView view = tracker.Step(state.QueryProgress(), NowSeconds());
    if (view.finished) break;
    printer.Show(view);
  }
  // The error code is final, but a worker may still be cleaning up (closing the
  // destination, removing an unfinished image): wait until both have ended.
  while (state.AnyWorkerRunning()) {
    pollStop();
    std::this_thread::sleep_for(kPoll);
  }
  state.WaitForWorkers();
  const tasks::ProgressView last = tracker.Step(state.QueryProgress(), NowSeconds());
  if (last.status == engine::TaskError::kSuccess) printer.Show(last);
  printer.End();
  return last.status;
}

struct ReadProgress::State {
  State(bool quiet, std::string label, uint32_t now)
      : printer(quiet, std::move(label)), tracker(now, tasks::kBackupPercentFormat), last(now) {}
  ProgressPrinter printer;
  tasks::ProgressTracker tracker;
  uint32_t last;
  bool started = false;
  bool ended = false;
};

ReadProgress::ReadProgress(bool quiet, std::string label)
    : state_(std::make_unique<State>(quiet, std::move(label), NowSeconds())) {}

ReadProgress::~ReadProgress() = default;

bool ReadProgress::operator()(uint64_t done, uint64_t total) {
  const uint32_t now = NowSeconds();
  // The first call starts the clock of the estimate; then one line a second,
  // and the last one at the end.
  if (done == total && state_->ended) return !platform::InterruptRequested();
  if (!state_->started || now != state_->last || done == total) {
    state_->ended = done == total;
    engine::TaskProgress progress;
    progress.totalBytes = total;
    progress.copiedBytes = done;
    const tasks::ProgressView view = state_->tracker.Step(progress, now);
    if (state_->started || done == total) state_->printer.Show(view);
    state_->started = true;
    state_->last = now;
  }
  return !platform::InterruptRequested();
}

void ReadProgress::End() { state_->printer.End(); }

bool ParseTaskArgs(const Args& args, const char* command, const char* /*usage*/, std::string& first,
                   std::string& second, bool& yes, bool& quiet, int& status) {
  // Positions count even when empty, so that an empty name meets its rule's message.
  int positional = 0;
  for (const std::string& a : args) {
    if (a == "--yes" || a == "-y") {
      yes = true;
    } else if (a == "--quiet" || a == "-q") {
      quiet = true;
    } else if (!a.empty() && a[0] == '-') {
      status = UsageError(command, "unknown option '" + a + "'");
      return false;
    } else if (positional < 2) {
      (positional++ == 0 ? first : second) = a;
    } else {
      status = UsageError(command, "too many arguments: '" + a + "'");
      return false;
    }
  }
  if (positional != 2) {
    status = UsageError(command, "two arguments are required");
    return false;
  }
  return true;
}

bool TakeOption(Args& args, std::string_view option) {
  const auto kept = std::remove(args.begin(), args.end(), option);
  const bool found = kept != args.end();
  args.erase(kept, args.end());
  return found;
}

int ReportTaskOutcome(const char* command, const tasks::TaskOutcome& outcome) {
  if (outcome.succeeded) {
    std::printf("%s\n", outcome.text.c_str());
    return 0;
  }
  const std::string destination = outcome.reformatted ? " The destination is an empty volume again."
                                  : outcome.reformatText.empty() ? std::string()
                                                                 : " " + outcome.reformatText;
  // The engine succeeded but the task did not (its end refused): nothing of the
  // engine's to report as the status.
  const int status = outcome.errorCode == engine::TaskError::kSuccess
                         ? kTaskRefused
                         : TaskExitStatus(outcome.errorCode);
  const std::string detail = outcome.detail.empty() ? std::string() : " " + outcome.detail + ".";
  return Fail(status, std::string(command) + ": " + outcome.text + " (error " +
                          std::to_string(engine::TaskErrorCode(outcome.errorCode)) + ")." + detail +
                          destination);
}

}  // namespace stow::cli
