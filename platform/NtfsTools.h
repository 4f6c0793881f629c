// The system's own tools for NTFS volumes, in one place that owns their
// command lines, their time limits and the reading of their answers: the
// quick format before a copy or restore, and the disk check after one. Linux
// has mkntfs and ntfsfix from ntfs-3g; Windows has format.com and chkdsk in
// its system folder. They run through RunProgram (Process.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Process.h"

namespace stow::platform {

// Everything a format command is built from.
struct NtfsFormatRequest {
  std::string device;           // as VolumeId::DevicePath() gives it
  int64_t clusterBytes = 0;     // 0: the format's default
  uint64_t partitionStart = 0;  // first sector on its disk; 0 for a file or a whole disk
  uint32_t heads = 0;
  uint32_t sectorsPerTrack = 0;
};

// What a tool answered.
struct NtfsToolResult {
  const char* tool = "";  // the program's name, for messages and log lines
  RunOutcome run;         // how it ended, its exit status and the start of its output
  std::string summary;    // its last line that says something ("Volume is corrupt. ...")

  // It ran to its end by itself and reported success.
  bool Passed() const { return run.Succeeded(); }
  // One line for the user: what the tool did or why it did not run.
  std::string Describe() const;
};

class NtfsTools {
 public:
  NtfsTools() = default;
  // `stop` is asked while a tool runs; true kills it (ProgramRun::stop).
  explicit NtfsTools(std::function<bool()> stop) : stop_(std::move(stop)) {}

  // The programs' names ("mkntfs", "ntfsfix"; "format", "chkdsk").
  static const char* FormatProgram();
  static const char* CheckProgram();

  // The command line of a quick NTFS format that asks no questions.
  static std::vector<std::string> FormatCommand(const NtfsFormatRequest& request);
  // The command line that checks and repairs the NTFS volume `device` and
  // leaves it clean when it could.
  static std::vector<std::string> CheckCommand(const std::string& device);

  // How long each may run before it counts as hung and is killed.
  static std::chrono::minutes FormatTimeLimit();
  static std::chrono::minutes CheckTimeLimit();

  // Runs the tool and reads its answer. Callable from any thread.
  [[nodiscard]] NtfsToolResult Format(const NtfsFormatRequest& request) const;
  [[nodiscard]] NtfsToolResult Check(const std::string& device) const;

 private:
  NtfsToolResult Run(const char* tool, std::vector<std::string> argv,
                     std::chrono::minutes timeLimit) const;

  std::function<bool()> stop_;
};

}  // namespace stow::platform
