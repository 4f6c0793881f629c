// What the commands that run an engine task share: the question before the
// task, and following the running task with its progress on the terminal
// (Ctrl-C stops it in order).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "cli/Commands.h"
#include "engine/transfer/TaskState.h"
#include "platform/Console.h"
#include "tasks/DestinationTask.h"

namespace stow::cli {

// Exit statuses of the task commands besides 0 and the engine's error codes.
inline constexpr int kTaskRefused = 1;
inline constexpr int kTaskUsageError = 2;

// Asks `question` on the terminal; only "y" or "yes" goes on. Without a
// terminal nothing can be asked: refused, with a hint at --yes. On a refusal
// `status` is set and the message printed with the `command` prefix; `verb`
// names what --yes would allow ("back up", "restore", "copy").
bool ConfirmOnTerminal(const std::string& command, const std::string& question,
                       const std::string& verb, int& status);

// Shows the progress of the started task each second until the engine has
// finished and both workers have ended; a plain line per second when the
// output is no terminal, nothing with `quiet`. Ctrl-C (SIGINT, SIGTERM)
// raises the stop flag. Returns how the task ended.
[[nodiscard]] engine::TaskError FollowTask(engine::TaskState& state, bool quiet,
                                           const char* percentFormat);

// The progress of a read the caller runs itself (the check of an image): the
// task's percent line, at most once a second, with `label` in front; a plain
// line per second without a terminal, nothing with `quiet`. Hand it to the
// read as its progress callback; it returns false once Ctrl-C was pressed
// (after CatchInterrupts), which stops the read.
class ReadProgress {
 public:
  ReadProgress(bool quiet, std::string label);
  ~ReadProgress();
  ReadProgress(const ReadProgress&) = delete;
  ReadProgress& operator=(const ReadProgress&) = delete;
  bool operator()(uint64_t done, uint64_t total);
  // Ends the line on a terminal.
  void End();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The terminal as the driver of a task's course (tasks/TaskDriver.h): the
// question on the terminal unless --yes was given (`verb` as ConfirmOnTerminal
// takes it), Ctrl-C caught from the answer on, and FollowTask.
template <typename Driver>
class ConsoleDriver : public Driver {
 public:
  ConsoleDriver(const char* command, const char* verb, const char* percentFormat, bool yes,
                bool quiet)
      : command_(command), verb_(verb), percentFormat_(percentFormat), yes_(yes), quiet_(quiet) {}

  bool Confirm(const std::string& question) override {
    return yes_ || ConfirmOnTerminal(command_, question, verb_, declinedStatus_);
  }
  void Committed() override { platform::CatchInterrupts(); }
  bool StopRequested() override { return platform::InterruptRequested(); }
  engine::TaskError Follow(engine::TaskState& state) override {
    return FollowTask(state, quiet_, percentFormat_);
  }

  // The exit status ConfirmOnTerminal gave when the question was not answered yes.
  int DeclinedStatus() const { return declinedStatus_; }

 protected:
  const char* command_;
  const char* verb_;
  const char* percentFormat_;
  bool yes_;
  bool quiet_;
  int declinedStatus_ = 0;
};

// Parses "FIRST SECOND [--yes] [--quiet]"; on a usage error prints one line
// naming the argument (`usage` is what --help shows), sets `status` and
// returns false.
bool ParseTaskArgs(const Args& args, const char* command, const char* usage, std::string& first,
                   std::string& second, bool& yes, bool& quiet, int& status);

// Removes every `option` from `args`; true when there was one.
bool TakeOption(Args& args, std::string_view option);

// Prints how a copy or restore ended and returns the exit status: 0 for
// success, else the engine's error (TaskExitStatus) with its text on standard
// error.
int ReportTaskOutcome(const char* command, const tasks::TaskOutcome& outcome);

}  // namespace stow::cli
