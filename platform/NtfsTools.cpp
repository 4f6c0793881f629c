// What the NTFS tools share on every system: running them and reading their answers.
#include "platform/NtfsTools.h"

#include "platform/BlockDevice.h"

namespace stow::platform {
namespace {

// Their words end up in the log and one summary line; they say little.
constexpr size_t kToolOutputLimit = size_t{16} * 1024;

}  // namespace

std::string NtfsToolResult::Describe() const {
  if (!run.Ran()) return std::string(tool) + " could not be run: " + SystemErrorText(run.error);
  std::string text = std::string(tool);
  if (run.end == kExited) {
    text += " ended with status " + std::to_string(run.exitStatus);
  } else {
    text += std::string(" was ") + RunEndLabel(run.end);
  }
  if (!summary.empty()) text += " (" + summary + ")";
  return text;
}

NtfsToolResult NtfsTools::Format(const NtfsFormatRequest& request) const {
  return Run(FormatProgram(), FormatCommand(request), FormatTimeLimit());
}

NtfsToolResult NtfsTools::Check(const std::string& device) const {
  return Run(CheckProgram(), CheckCommand(device), CheckTimeLimit());
}

NtfsToolResult NtfsTools::Run(const char* tool, std::vector<std::string> argv,
                              std::chrono::minutes timeLimit) const {
  ProgramRun run;
  run.argv = std::move(argv);
  run.outputLimit = kToolOutputLimit;
  run.timeLimit = timeLimit;
  run.stop = stop_;
  NtfsToolResult result;
  result.tool = tool;
  result.run = RunProgram(run);
  result.summary = result.run.LastLine();
  return result;
}

}  // namespace stow::platform
