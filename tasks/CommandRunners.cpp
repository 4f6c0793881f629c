#include "tasks/CommandRunners.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <memory>

#include "engine/disk/Disk.h"
#include "platform/BlockDevice.h"
#include "platform/DiskGeometry.h"
#include "platform/NtfsTools.h"
#include "platform/Process.h"
#include "platform/System.h"
#include "platform/VolumeLock.h"
#include "platform/VolumeUse.h"
#include "platform/Volumes.h"
#include "support/Enums.h"
#include "support/Log.h"

namespace stow::tasks {
namespace {

constexpr uint64_t kBytesPerMiB = uint64_t{1} << 20;
// The NTFS boot sector's OEM id: "NTFS    " at byte 3.
constexpr size_t kOemIdOffset = 3;
constexpr size_t kOemIdSize = 8;
// How much of a failed format's output goes into the log line.
constexpr size_t kLoggedOutputTail = 400;

std::string JoinParameters(const std::vector<std::string>& parameters) {
  std::string text;
  for (const auto& p : parameters) text += " " + p;
  return text;
}

std::string Tail(const std::string& text, size_t count) {
  std::string tail = text.size() > count ? text.substr(text.size() - count) : text;
  std::replace(tail.begin(), tail.end(), '\n', ' ');
  return tail;
}

// The command line that starts `file`: a script shipped beside the program,
// named by its file name, through the command interpreter; anything else as a
// program of the system's folders.
std::vector<std::string> CommandFor(const std::string& file) {
  const std::string suffix = platform::ScriptFileName("");
  if (file.find('/') == std::string::npos && file.size() > suffix.size() &&
      file.ends_with(suffix)) {
    const std::string shipped = platform::ProgramDirectory() + "/" + file;
    std::error_code ec;
    if (std::filesystem::is_regular_file(shipped, ec)) return platform::ScriptCommand(shipped);
  }
  return {file};
}

// Overwrites the old volume's NTFS id so that, should the format never write,
// the check afterwards finds no NTFS volume instead of the old one with the same
// cluster size. The caller is about to format the volume anyway.
bool ClearNtfsId(const platform::VolumeId& volume) {
  std::unique_ptr<platform::BlockDevice> device;
  const int error = platform::OpenBlockDevice(volume.DevicePath(), false, device);
  if (error != 0) {
    LogLess("format %s: cannot open the volume, error=0x%x", volume.DisplayName().c_str(),
            static_cast<unsigned>(error));
    return false;
  }
  std::array<std::byte, kOemIdSize> blank{};
  const platform::IoResult written = device->WriteAt(kOemIdOffset, blank);
  if (written.bytes != blank.size() || device->Flush() != 0) {
    LogLess("format %s: cannot write the volume, error=0x%x", volume.DisplayName().c_str(),
            static_cast<unsigned>(written.error));
    return false;
  }
  return true;
}

}  // namespace

void RunElevated(const std::string& file, const std::vector<std::string>& parameters) {
  // The process already runs with the rights it needs: the program is started directly.
  platform::ProgramRun run;
  run.argv = CommandFor(file);
  run.argv.insert(run.argv.end(), parameters.begin(), parameters.end());
  run.outputLimit = kCommandOutputLimit;
  const platform::RunOutcome outcome = platform::RunProgram(run);
  if (!outcome.Ran()) {
    LogLess("run %s fail ,error=0x%x", file.c_str(), static_cast<unsigned>(outcome.error));
    return;
  }
  LogLess("run success %s  ,parame%s", file.c_str(), JoinParameters(parameters).c_str());
}

namespace {

// What RunHidden reports of a run, logged as it logs it.
CommandOutcome ReportHidden(platform::RunOutcome run) {
  CommandOutcome result;
  result.output = std::move(run.output);
  if (run.end == platform::kNoPipe) {
    LogLess("systemhide createpipe error=0x%x!", static_cast<unsigned>(run.error));
  } else if (!run.Ran()) {
    LogLess("systemhide CreateProcess  error=0x%x!", static_cast<unsigned>(run.error));
  } else {
    result.ran = true;
    result.exitCode = run.exitStatus;
    if (run.exitStatus != 0) {
      LogLess("systemhide GetExitCodeProcess  error=0x%x  ,exitCode=%d!",
              static_cast<unsigned>(run.error), run.exitStatus);
    }
  }
  return result;
}

}  // namespace

bool RunHidden(const std::vector<std::string>& commandLine, CommandOutcome* outcome) {
  platform::ProgramRun request;
  request.argv = commandLine;
  request.outputLimit = kCommandOutputLimit;
  CommandOutcome result = ReportHidden(platform::RunProgram(request));
  const bool ran = result.ran;
  if (outcome) *outcome = std::move(result);
  return ran;
}

std::string SplitPartitionScriptPath(const std::string& programDirectory) {
  const std::string folder =
      programDirectory.empty() ? platform::ProgramDirectory() : programDirectory;
  return folder + "/" + platform::ScriptFileName(kSplitPartitionScriptStem);
}

std::vector<std::string> SplitPartitionParameters(const discovery::PartitionInfo& destination) {
  return {std::to_string(destination.diskNumber), std::to_string(destination.partitionNumber),
          std::to_string(destination.totalBytes / kBytesPerMiB),
          destination.Volume().DisplayName()};
}

SplitOutcome SplitPartition(const discovery::PartitionInfo& destination,
                            const std::string& programDirectory) {
  SplitOutcome result;
  const std::string script = SplitPartitionScriptPath(programDirectory);
  const std::vector<std::string> parameters = SplitPartitionParameters(destination);
  const std::string volume = destination.Volume().DevicePath();

  std::error_code ec;
  if (!std::filesystem::is_regular_file(script, ec)) {
    LogLess("run %s fail ,error=0x%x", script.c_str(), static_cast<unsigned>(ENOENT));
    result.message = "The partition split script " + script +
                     " is missing beside the program: install the program again.";
    return result;
  }
  std::shared_ptr<platform::TaskLock> lock;
  std::string conflict;
  if (const int error =
          platform::LockVolumeForTask(volume, platform::LockMode::kExclusive, lock, &conflict);
      error != 0) {
    LogLess("run %s fail ,error=0x%x", script.c_str(), static_cast<unsigned>(error));
    result.message = volume + " cannot be split: " +
                     (conflict.empty() ? std::string(std::strerror(error))
                                       : conflict + " is in use by another task of this program") +
                     "; wait for it to end and try again.";
    return result;
  }

  // No time limit: ntfsresize may move a nearly full volume's data out of the
  // room given up, which takes as long as the disk needs, and a kill in the
  // middle of that would leave the volume broken.
  platform::ProgramRun request;
  request.argv = platform::ScriptCommand(script);
  request.argv.insert(request.argv.end(), parameters.begin(), parameters.end());
  request.outputLimit = kCommandOutputLimit;
  const platform::RunOutcome run = platform::RunProgram(request);
  if (!run.Ran()) {
    LogLess("run %s fail ,error=0x%x", script.c_str(), static_cast<unsigned>(run.error));
    result.message = "The partition split script " + script + " could not be started (" +
                     std::strerror(run.error) + "): check that " + request.argv.front() +
                     " is installed.";
    return result;
  }
  LogLess("run success %s  ,parame%s", script.c_str(), JoinParameters(parameters).c_str());
  result.ran = true;
  result.exitCode = run.exitStatus;
  result.message = run.LastLine();
  if (result.message.empty()) {
    result.message = "The partition split script ended with status " +
                     std::to_string(run.exitStatus) + " and said nothing; see the log.";
  }
  LogLess("split %s: exit status %d: %s", volume.c_str(), run.exitStatus, result.message.c_str());
  return result;
}

int64_t FormatClusterBytes(int32_t clusterSize) {
  if (clusterSize == 0) return 0;
  if (clusterSize >= kClusterBytesArgumentMin && clusterSize <= kClusterBytesArgumentMax) {
    return clusterSize;
  }
  const int64_t bytes = static_cast<int64_t>(clusterSize / kClusterKibUnit) * kClusterKibUnit;
  return bytes > 0 ? bytes : kInvalidClusterBytes;
}

FormatTarget DescribeFormatTarget(const platform::VolumeId& volume, int32_t clusterSize) {
  FormatTarget target;
  target.device = volume.DevicePath();
  target.clusterSize = clusterSize;
  // A regular file or a device that is not a partition starts at sector 0.
  platform::VolumeHandle handle;
  if (handle.Open(volume.DevicePath()) == 0) {
    uint64_t offset = 0;
    uint32_t sectorSize = 0;
    if (handle.QueryStartingOffset(offset) == 0 && handle.QueryBytesPerSector(sectorSize) == 0 &&
        sectorSize != 0) {
      target.partitionStart = offset / sectorSize;
    }
  }
  platform::DiskGeometry geometry;
  if (platform::QueryDiskGeometry(volume.DevicePath(), geometry) == 0) {
    target.heads = geometry.heads;
    target.sectorsPerTrack = geometry.sectorsPerTrack;
  }
  return target;
}

namespace {

platform::NtfsFormatRequest FormatRequest(const FormatTarget& target) {
  platform::NtfsFormatRequest request;
  request.device = target.device;
  request.clusterBytes = FormatClusterBytes(target.clusterSize);
  request.partitionStart = target.partitionStart;
  request.heads = target.heads;
  request.sectorsPerTrack = target.sectorsPerTrack;
  return request;
}

}  // namespace

std::vector<std::string> BuildFormatCommand(const FormatTarget& target) {
  return platform::NtfsTools::FormatCommand(FormatRequest(target));
}

bool FormatVolumeNtfs(const platform::VolumeId& volume, int32_t clusterSize,
                      CommandOutcome* outcome) {
  if (FormatClusterBytes(clusterSize) == kInvalidClusterBytes) {
    LogLess("format %s: no cluster size can be asked for %d", volume.DisplayName().c_str(),
            clusterSize);
    if (outcome) *outcome = CommandOutcome{};
    return false;
  }
  const platform::NtfsFormatRequest request =
      FormatRequest(DescribeFormatTarget(volume, clusterSize));
  LogDebug("format command:%s",
           JoinParameters(platform::NtfsTools::FormatCommand(request)).c_str());
  const platform::NtfsToolResult format = platform::NtfsTools().Format(request);
  if (!format.Passed()) {
    LogLess("format %s: %s", volume.DisplayName().c_str(), format.Describe().c_str());
  }
  CommandOutcome result = ReportHidden(format.run);
  const bool ran = result.ran;
  if (ran && result.exitCode != 0) {
    LogDebug("format output: %s", Tail(result.output, kLoggedOutputTail).c_str());
  }
  if (outcome) *outcome = std::move(result);
  return ran;
}

constexpr EnumLabel<FormatCheckResult> kFormatCheckLabels[] = {
    {kFormatVerified, "the volume is a freshly formatted NTFS volume"},
    {kFormatNotStarted, "the format could not be started"},
    {kFormatFailed, "the format program reported a failure"},
    {kFormatNotNtfs, "the volume does not open as an NTFS volume after the format"},
    {kFormatWrongClusterSize, "the formatted volume does not have the cluster size asked for"},
};

const char* FormatCheckText(FormatCheckResult result) {
  return LabelOf(kFormatCheckLabels, result, "unknown format result");
}

FormatCheckResult CheckFormattedVolume(const platform::VolumeId& volume, int32_t clusterSize) {
  engine::CDisk disk;
  std::string why;
  if (disk.InitDisk(volume, true) != engine::DiskResult::kOk) return kFormatNotNtfs;
  if (disk.Mft().CheckNtfsVolume(&why) != engine::DiskResult::kOk) {
    LogLess("format check %s: %s", volume.DisplayName().c_str(), why.c_str());
    return kFormatNotNtfs;
  }
  const int64_t expected = FormatClusterBytes(clusterSize);
  if (expected != 0 && disk.Device().ClusterSize() != expected) {
    LogLess("format check %s: cluster size %u, asked for %" PRId64, volume.DisplayName().c_str(),
            disk.Device().ClusterSize(), expected);
    return kFormatWrongClusterSize;
  }
  return kFormatVerified;
}

FormatCheckResult FormatDestination(const platform::VolumeId& volume, int32_t clusterSize) {
  // Callers refuse a destination in use before they get here; this guards the
  // volume should one of them forget, since the format would destroy a live file system.
  platform::VolumeUse use;
  if (platform::QueryVolumeUse(volume.DevicePath(), use) == 0 &&
      (use.mounted || use.heldByDevice)) {
    LogLess("format %s: the volume is in use by %s", volume.DisplayName().c_str(),
            use.mounted ? use.mountPoint.c_str() : use.usedBy.c_str());
    return kFormatNotStarted;
  }
  if (!ClearNtfsId(volume)) return kFormatNotStarted;
  CommandOutcome outcome;
  if (!FormatVolumeNtfs(volume, clusterSize, &outcome)) return kFormatNotStarted;
  // A format that ran but failed may have written part of a volume; it must not be used.
  if (outcome.exitCode != 0) return kFormatFailed;
  return CheckFormattedVolume(volume, clusterSize);
}

}  // namespace stow::tasks
