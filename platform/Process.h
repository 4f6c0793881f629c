// Running other programs: where they may come from, and the one runner that
// starts them, feeds nothing in, collects what they say and waits for them.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace stow::platform {

// Other programs run with the privileges of this one, so they are never looked
// up through the caller's PATH: a program is taken only from a fixed list of
// system folders (ProgramFolders), by name, or by an absolute path inside one
// of them. Whatever is not found there is refused.
//
// The folders searched, in order.
std::vector<std::string> ProgramFolders();
// The full path of `name`: an executable regular file in one of the program
// folders. 0, or ENOENT when it is not there (also when `name` is a path
// outside the folders).
[[nodiscard]] int ResolveProgram(const std::string& name, std::string& path);
// Replaces the folder list for this process (tests put a folder of stand-in
// programs first); an empty list restores the system folders.
void SetProgramFoldersForTesting(std::vector<std::string> folders);

// Scripts shipped beside the program. The file name of the script `stem` on
// this system ("stem.sh"; "stem.bat" on Windows), and the command line that
// runs the script at `path` through the system's command interpreter (itself
// resolved by ResolveProgram), so that the script needs no execute permission.
std::string ScriptFileName(const std::string& stem);
std::vector<std::string> ScriptCommand(const std::string& path);

// --- The runner -------------------------------------------------------------------
//
// RunProgram starts argv[0], resolved by ResolveProgram (the path used is
// logged), with the rest of `argv` as its arguments, never through a command
// line of the shell. Its standard input is closed (the null device), its
// standard output and standard error go into one pipe, and it inherits no
// other descriptor or handle of this process. It runs in a group of its own (a
// process group on Linux, a job on Windows), so that a kill reaches whatever
// it started too. RunProgram returns once the program has ended and been
// reaped, with every descriptor and handle it opened closed again, on every
// path.
//
// The output is read as it comes, so that the program never blocks on a full
// pipe. The first `outputLimit` bytes are kept; the rest is read and dropped.
// The kept bytes are split into lines: CR and LF each end a line (so CRLF ends
// one, and a progress meter's CR-separated updates are lines of their own),
// the line ends are not part of a line, and empty lines are not reported. A
// last line without an end (the program ended, or the limit cut it) is handed
// out once the program has ended, as a line like the others. Bytes past the
// limit make no lines.
//
// A program that outlives the time limit, or is still running when the stop
// asks for it, is killed with its whole group and reaped; the outcome says
// which. A program that ends by itself while something it started still holds
// the pipe open ends the run too: the output still in the pipe is read, the
// rest is not waited for.

// How a run ended.
enum class RunEnd : int {
  kExited = 0,   // the program ended by itself; exitStatus says how
  kNotAllowed,   // argv was empty, or argv[0] is not in the program folders (error ENOENT)
  kNoPipe,       // the output pipe could not be made; error is the system error
  kStartFailed,  // the start failed; error is the system error
  kTimedOut,     // the time limit passed: it was killed with its group
  kStopped,      // the stop asked for it to end: it was killed with its group
};
using enum RunEnd;
// A label for the log: "exited", "not allowed", ...
const char* RunEndLabel(RunEnd end);

// Enough for any log line or summary the callers take from an answer.
inline constexpr size_t kDefaultOutputLimit = size_t{64} * 1024;
// How often a waiting run looks at the stop.
inline constexpr std::chrono::milliseconds kStopPollInterval{50};

struct ProgramRun {
  std::vector<std::string> argv{};
  size_t outputLimit = kDefaultOutputLimit;
  // Zero: no time limit.
  std::chrono::milliseconds timeLimit{0};
  // Asked at least every kStopPollInterval while the program runs; true ends
  // it. May be empty. Called on the runner's thread.
  std::function<bool()> stop{};
  // Each line as it comes, on the runner's thread; may be empty.
  std::function<void(std::string_view line)> onLine{};
  // Variables added to (or replacing those in) this process's environment,
  // as "NAME=value".
  std::vector<std::string> environment{};
};

struct RunOutcome {
  RunEnd end = kStartFailed;
  int error = 0;        // kNotAllowed, kNoPipe, kStartFailed: the system error
  int exitStatus = -1;  // once started: its exit status, or 128 + signal when a signal ended
                        // it (Windows: its exit code; 137 when this runner killed it)
  std::string program;  // the path started; empty when it was not
  std::string output;   // the kept bytes of its output, as they came
  std::vector<std::string> lines;  // the kept bytes as lines (see above)
  bool outputTruncated = false;    // more than outputLimit bytes came

  // It ran to its end by itself with exit status 0.
  bool Succeeded() const { return end == kExited && exitStatus == 0; }
  // It was started and has ended, however (exited, timed out or stopped).
  bool Ran() const { return end == kExited || end == kTimedOut || end == kStopped; }
  // Its last line that holds more than blanks, without the blanks around it,
  // or empty: the summary most tools print last.
  std::string LastLine() const;
};

// Runs `run` to its end as described above. Callable from any thread.
[[nodiscard]] RunOutcome RunProgram(const ProgramRun& run);

// Splits output into lines by the rule above, across pieces as they arrive:
// Feed each piece, then Finish once the output has ended. Shared by the
// systems' runners.
class LineSplitter {
 public:
  explicit LineSplitter(std::function<void(std::string_view)> onLine) : emit_(std::move(onLine)) {}
  void Feed(std::string_view piece);
  void Finish();

 private:
  std::function<void(std::string_view)> emit_;
  std::string partial_;
};

}  // namespace stow::platform
