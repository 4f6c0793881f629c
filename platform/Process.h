// Running other programs.
#pragma once

#include <cstddef>
#include <string>
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

// Runs `argv` (argv[0] resolved by ResolveProgram) to completion with standard input
// closed, collecting its standard output and standard error into `output`.
// Returns the exit status, 128 + signal when it was killed, or -1 when it could
// not be started.
[[nodiscard]] int RunProgram(const std::vector<std::string>& argv, std::string& output);

// Where RunProcess stopped.
enum class ProcessStage {
  kPipe,   // the output pipe could not be made
  kStart,  // the program could not be started
  kEnded,  // the program ran to its end (exitStatus says how)
};

struct ProcessOutcome {
  ProcessStage stage = ProcessStage::kPipe;
  int error = 0;        // the system error of a failed stage; 0 once the program ended
  int exitStatus = -1;  // kEnded: the exit status, or 128 + signal when it was killed
  // The start of the program's standard output and standard error, at most the
  // limit given; the rest is read and dropped so that the program never blocks.
  std::string output;
  bool outputTruncated = false;
};

// Runs `argv` (argv[0] resolved by ResolveProgram; the path used is logged)
// to completion with standard input closed, draining its standard output and standard error through
// one pipe. Every descriptor it opens is closed again before it returns.
void RunProcess(const std::vector<std::string>& argv, size_t outputLimit, ProcessOutcome& out);

}  // namespace stow::platform
