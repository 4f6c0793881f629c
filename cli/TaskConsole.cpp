#include "cli/TaskConsole.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <thread>

#include "cli/Commands.h"
#include "cli/ExitStatus.h"
#include "platform/Console.h"
#include "tasks/ProgressStep.h"

namespace stow::cli {
namespace {

using namespace std::chrono_literals;

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

// What the console shows while a course runs: the figures of the engine's
// steps, rewritten in place on a terminal (a line a second otherwise), and
// the waiting texts of the steps that cannot count.
struct ConsoleFrontEnd::Lines {
  Lines(bool quietLines, const char* format)
      : quiet(quietLines), terminal(platform::StandardOutputIsTerminal()), percentFormat(format) {}

  void ShowWaiting(const std::string& text) {
    if (quiet || text == lastWaiting) return;
    lastWaiting = text;
    if (terminal) {
      // Blanks wipe the dots a longer previous text left.
      std::printf("\r%s          ", text.c_str());
      waitingShown = true;
    } else {
      std::printf("%s\n", text.c_str());
    }
    std::fflush(stdout);
  }

  void ShowFigures(const engine::TaskProgress& progress) {
    const uint32_t now = NowSeconds();
    if (!tracker) {
      tracker.emplace(now, percentFormat);
      figures.emplace(quiet);
      lastShown = now;
    }
    const tasks::ProgressView view = tracker->Step(progress, now);
    // One line a second, and the last one of a success, once.
    if (view.finished ? view.status == engine::TaskError::kSuccess && !finalShown
                      : now != lastShown) {
      figures->Show(view);
      lastShown = now;
      finalShown = view.finished;
    }
  }

  void End() {
    if (figures) figures->End();
    figures.reset();
    tracker.reset();
    finalShown = false;
    if (waitingShown) std::printf("\n");
    waitingShown = false;
    lastWaiting.clear();
    std::fflush(stdout);
  }

  bool quiet;
  bool terminal;
  const char* percentFormat;
  std::optional<tasks::ProgressTracker> tracker;
  std::optional<ProgressPrinter> figures;
  uint32_t lastShown = 0;
  bool finalShown = false;
  std::string lastWaiting;
  bool waitingShown = false;
};

ConsoleFrontEnd::ConsoleFrontEnd(const char* command, const char* verb, const char* percentFormat,
                                 bool yes, bool quiet)
    : command_(command),
      verb_(verb),
      yes_(yes),
      lines_(std::make_unique<Lines>(quiet, percentFormat)) {}

ConsoleFrontEnd::~ConsoleFrontEnd() = default;

bool ConsoleFrontEnd::Ask(const std::string& /*id*/, const std::string& text) {
  if (!yes_ && !ConfirmOnTerminal(command_, text, verb_, declinedStatus_)) return false;
  // From the first answer on, Ctrl-C stops the task in order.
  platform::CatchInterrupts();
  return true;
}

void ConsoleFrontEnd::Tell(const std::string& /*id*/, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", command_, text.c_str());
}

void ConsoleFrontEnd::StepStarted(const tasks::Step& step) {
  lines_->End();
  // Only the steps that wait for a while say so; a quick check stays silent,
  // so that a refusal is one line.
  showWaiting_ = !step.waitingId.empty();
}

bool ConsoleFrontEnd::Progress(const tasks::StepProgress& progress) {
  if (progress.figures) {
    lines_->ShowFigures(progress.progress);
  } else if (showWaiting_ && !progress.waiting.empty()) {
    lines_->ShowWaiting(progress.waiting);
  }
  return !platform::InterruptRequested();
}

void ConsoleFrontEnd::StepEnded(const tasks::Step& /*step*/, const tasks::StepStatus& /*status*/) {
  lines_->End();
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

}  // namespace stow::cli
