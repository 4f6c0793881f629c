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
#include "tasks/Course.h"

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

// The terminal as the front end of a task's course (tasks/Course.h): the
// questions on the terminal unless --yes was given (`verb` as
// ConfirmOnTerminal takes it), the warnings on standard error, the figures
// once a second, the waiting texts, and Ctrl-C caught from the first answer on.
class ConsoleFrontEnd final : public tasks::TaskFrontEnd {
 public:
  ConsoleFrontEnd(const char* command, const char* verb, const char* percentFormat, bool yes,
                  bool quiet);
  ~ConsoleFrontEnd() override;
  ConsoleFrontEnd(const ConsoleFrontEnd&) = delete;
  ConsoleFrontEnd& operator=(const ConsoleFrontEnd&) = delete;

  bool Ask(const std::string& id, const std::string& text) override;
  void Tell(const std::string& id, const std::string& text) override;
  void StepStarted(const tasks::Step& step) override;
  bool Progress(const tasks::StepProgress& progress) override;
  void StepEnded(const tasks::Step& step, const tasks::StepStatus& status) override;

  // The exit status ConfirmOnTerminal gave when a question was not answered yes.
  int DeclinedStatus() const { return declinedStatus_; }

 private:
  struct Lines;
  const char* command_;
  const char* verb_;
  bool yes_;
  int declinedStatus_ = 0;
  bool showWaiting_ = false;
  std::unique_ptr<Lines> lines_;
};

// Prints how a course ended and gives the exit status, from the one table of
// the command line: 0, 1 (refused or not confirmed), the engine's error,
// 100 (boot files), 101 (disk check), 102 (not reopened).
int ReportCourseEnd(const char* command, const tasks::Course& course, const tasks::CourseEnd& end,
                    const ConsoleFrontEnd& frontEnd);

// Parses "FIRST SECOND [--yes] [--quiet]"; on a usage error prints one line
// naming the argument (`usage` is what --help shows), sets `status` and
// returns false.
bool ParseTaskArgs(const Args& args, const char* command, const char* usage, std::string& first,
                   std::string& second, bool& yes, bool& quiet, int& status);

// Removes every `option` from `args`; true when there was one.
bool TakeOption(Args& args, std::string_view option);

}  // namespace stow::cli
