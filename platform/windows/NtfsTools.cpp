// format.com and chkdsk from the system folder.
#include "platform/NtfsTools.h"

#include "platform/windows/Win32.h"

namespace stow::platform {
namespace {

// "C:" for a drive letter; any other device or file as it is named.
std::string FormatTargetName(const std::string& device) {
  if (const wchar_t letter = win::DriveLetterOf(device); letter != 0) {
    return std::string(1, static_cast<char>(letter)) + ":";
  }
  return device;
}

}  // namespace

// format.com from the system folder: quick (/Q), dismounting the volume first
// (/X), answering its question (/y); the cluster size as /A:n up to 8191
// bytes and in KiB (/A:nK) above.
std::vector<std::string> NtfsTools::FormatCommand(const NtfsFormatRequest& request) {
  std::vector<std::string> argv{win::SystemDirectory() + "\\format.com",
                                FormatTargetName(request.device), "/Q", "/X"};
  if (request.clusterBytes >= 128 && request.clusterBytes <= 8191) {
    argv.push_back("/A:" + std::to_string(request.clusterBytes));
  } else if (request.clusterBytes > 0) {
    argv.push_back("/A:" + std::to_string(request.clusterBytes / 1024) + "K");
  }
  argv.insert(argv.end(), {"/fs:NTFS", "/y"});
  return argv;
}

const char* NtfsTools::FormatProgram() { return "format"; }
const char* NtfsTools::CheckProgram() { return "chkdsk"; }

// chkdsk from the system folder: fixes what it finds (/f) after forcing a
// dismount (/x).
std::vector<std::string> NtfsTools::CheckCommand(const std::string& device) {
  return {win::SystemDirectory() + "\\chkdsk.exe", FormatTargetName(device), "/f", "/x"};
}

// A quick format does what mkntfs --fast does (the Linux side says how much):
// minutes at most; half an hour means the device no longer answers. A format
// cut short is no loss: the volume is checked afterwards and refused.
std::chrono::minutes NtfsTools::FormatTimeLimit() { return std::chrono::minutes(30); }

// chkdsk /f reads every file record, index and security descriptor of the
// volume: on a volume of millions of files that takes hours, and a checker
// killed while it repairs may leave more damage than it found. The bound only
// catches a checker that hangs.
std::chrono::minutes NtfsTools::CheckTimeLimit() { return std::chrono::hours(8); }

}  // namespace stow::platform
