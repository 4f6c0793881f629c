// The ways the program runs other programs, and the preparation of a copy or
// restore destination: the split of an EFI system partition off a GPT
// destination disk that has none, and a quick NTFS format with the source's
// cluster size, followed by a check that the volume really is the fresh NTFS
// volume asked for before anything is written to it.
//
// Each call blocks its thread until the program has ended. The programs run
// through platform::RunProgram; the format has the format tool's time limit
// (platform/NtfsTools.h), the others none. Callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "discovery/PartitionInfo.h"
#include "platform/VolumeId.h"
#include "support/Enums.h"

namespace stow::tasks {

// How much of a program's output is kept for the log; the rest is drained and dropped.
inline constexpr size_t kCommandOutputLimit = size_t{64} * 1024;

// What became of a program that RunHidden ran.
struct CommandOutcome {
  bool ran = false;    // it was started and has ended
  int exitCode = -1;   // its exit status once it ran
  std::string output;  // the start of its standard output and standard error
};

// Starts `file` with `parameters` and waits for it. The outcome is only logged:
// "run success %s  ,parame%s" or "run %s fail ,error=0x%x". `file` is a program
// of the system's folders, or the file name of a script shipped beside the
// program (ScriptFileName: "AssistSplitPartition.sh"), which runs through the
// system's command interpreter. SplitPartition runs the split script this way
// and also reports its outcome.
void RunElevated(const std::string& file, const std::vector<std::string>& parameters);

// Runs a command line (program and arguments) without a window, its output
// drained, and waits for it. True when it was started and has ended, whatever
// its exit status; a non-zero status is logged. `outcome` (optional) receives
// the details.
[[nodiscard]] bool RunHidden(const std::vector<std::string>& commandLine,
                             CommandOutcome* outcome = nullptr);

// --- The split of an EFI system partition ----------------------------------------

// The script beside the program that gives a GPT disk without a FAT volume its
// EFI system partition: it shrinks the NTFS destination volume by the room
// needed and makes a FAT32 EFI system partition behind it. The volume keeps its
// files, its partition number and so its name. docs/split-partition.md has the
// details.
inline constexpr const char* kSplitPartitionScriptStem = "AssistSplitPartition";

// The script's exit statuses.
enum class SplitResult : int {
  kSplitDone = 0,           // done, or the disk already had a FAT EFI system partition
  kSplitUsage = 2,          // the parameters were not accepted
  kSplitToolMissing = 3,    // a tool it runs is missing (the message names its package)
  kSplitNotTheVolume = 4,   // disk, partition number or size no longer match the volume
  kSplitNotGpt = 5,         // the disk's table is not GPT, or is damaged
  kSplitInUse = 6,          // the volume is mounted or held
  kSplitNotShrinkable = 7,  // not NTFS, or ntfsresize refuses it
  kSplitNoRoom = 8,         // not enough free space in the volume
  kSplitFailedMidway = 9,   // a step failed after changes began (files still in place)
};
using enum SplitResult;

// What became of a split.
struct SplitOutcome {
  bool ran = false;     // the script was started and has ended
  int exitCode = -1;    // its exit status once it ran
  std::string message;  // its one line, or why it was not run; says what to do
  bool Done() const { return ran && exitCode == ToInt(kSplitDone); }
};

// The script's path beside the program (in `programDirectory`; empty: the
// program's own folder).
std::string SplitPartitionScriptPath(const std::string& programDirectory = {});

// The parameters " %d %d %lld %C": the destination's disk number, partition
// number, total bytes / 1,048,576, and its volume's name.
std::vector<std::string> SplitPartitionParameters(const discovery::PartitionInfo& destination);

// Runs the script on `destination` and waits for it; no time limit. Logged as
// RunElevated logs, with the script's exit status and line. While it runs the
// volume is locked for this program's tasks (a task of another instance on it
// makes it refuse without running). The caller refreshes its partition list
// afterwards, whatever the outcome.
SplitOutcome SplitPartition(const discovery::PartitionInfo& destination,
                            const std::string& programDirectory = {});

// --- The NTFS quick format -----------------------------------------------------

// Cluster sizes between these (inclusive) are passed in bytes; any other value
// in whole KiB (the size / 1024).
inline constexpr int32_t kClusterBytesArgumentMin = 128;
inline constexpr int32_t kClusterBytesArgumentMax = 8191;
inline constexpr int32_t kClusterKibUnit = 1024;
// The geometry recorded when the disk reports none.
inline constexpr uint32_t kDefaultHeads = 255;
inline constexpr uint32_t kDefaultSectorsPerTrack = 63;

// Marks a cluster size that no format command can ask for (below 1 KiB outside
// the byte range, or negative).
inline constexpr int64_t kInvalidClusterBytes = -1;

// The cluster size in bytes that a format is asked for: 0 for the format's
// default; 128..8191 as given; any other value rounded down to whole KiB, or
// kInvalidClusterBytes when that leaves nothing (so that a bad request is never
// mistaken for "the default").
int64_t FormatClusterBytes(int32_t clusterSize);

// Everything the format command is built from.
struct FormatTarget {
  std::string device;           // device or regular file
  int32_t clusterSize = 0;      // as the caller gave it; 0 = default
  uint64_t partitionStart = 0;  // first sector on its disk; 0 for a file or a whole disk
  uint32_t heads = kDefaultHeads;
  uint32_t sectorsPerTrack = kDefaultSectorsPerTrack;
};

// The start sector and geometry of `volume` as the system reports them.
FormatTarget DescribeFormatTarget(const platform::VolumeId& volume, int32_t clusterSize);

// The system's quick-format command for the target (platform/NtfsTools.h):
// on Linux mkntfs --fast --force [--cluster-size n] --partition-start S
// --heads H --sectors-per-track T DEVICE.
std::vector<std::string> BuildFormatCommand(const FormatTarget& target);

// Quick-formats `volume` as NTFS with the cluster-size rule. Returns what
// RunHidden returns: true when the format program ran, whatever its result
// (killed at its time limit it ran, with a status that is not 0);
// false without running it for a cluster size the rule cannot express.
[[nodiscard]] bool FormatVolumeNtfs(const platform::VolumeId& volume, int32_t clusterSize,
                                    CommandOutcome* outcome = nullptr);

// --- Destination preparation ----------------------------------------------------

enum class FormatCheckResult : int {
  kFormatVerified = 0,
  kFormatNotStarted = 1,       // the volume could not be opened, or the format not started
  kFormatFailed = 2,           // the format program reported failure
  kFormatNotNtfs = 3,          // afterwards the volume does not open as an NTFS volume
  kFormatWrongClusterSize = 4  // afterwards its cluster size is not the one asked for
};
using enum FormatCheckResult;
const char* FormatCheckText(FormatCheckResult result);

// Formats `volume` with FormatVolumeNtfs and checks the result: the volume
// must open as an NTFS volume this engine handles, with the cluster size asked
// for (any, for 0). The old boot sector's NTFS id is cleared first, so that a
// format that never wrote cannot pass for one that did. kFormatVerified, or the
// reason it must not be written to ("Please format this partition.").
[[nodiscard]] FormatCheckResult FormatDestination(const platform::VolumeId& volume,
                                                  int32_t clusterSize);

// The check alone, on a volume already formatted.
[[nodiscard]] FormatCheckResult CheckFormattedVolume(const platform::VolumeId& volume,
                                                     int32_t clusterSize);

}  // namespace stow::tasks
