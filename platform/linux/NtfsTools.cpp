// mkntfs and ntfsfix from ntfs-3g.
#include "platform/NtfsTools.h"

namespace stow::platform {

const char* NtfsTools::FormatProgram() { return "mkntfs"; }

// ntfsfix resets the journal and repairs what it can. With --clear-dirty a
// volume it could repair is left clean, as the system's checker leaves it; one
// it could not is left marked for a full check at the next Windows start.
// (Without it every volume would stay marked, and tools such as ntfsresize
// refuse such volumes.)
const char* NtfsTools::CheckProgram() { return "ntfsfix"; }

std::vector<std::string> NtfsTools::FormatCommand(const NtfsFormatRequest& request) {
  std::vector<std::string> argv{FormatProgram(), "--fast", "--force"};
  if (request.clusterBytes != 0) {
    argv.insert(argv.end(), {"--cluster-size", std::to_string(request.clusterBytes)});
  }
  argv.insert(argv.end(), {"--partition-start", std::to_string(request.partitionStart), "--heads",
                           std::to_string(request.heads), "--sectors-per-track",
                           std::to_string(request.sectorsPerTrack), request.device});
  return argv;
}

std::vector<std::string> NtfsTools::CheckCommand(const std::string& device) {
  return {CheckProgram(), "--clear-dirty", device};
}

// A quick format writes the boot sectors, the first MFT records, the cluster
// bitmap (512 MiB for 16 TiB in 4 KiB clusters) and the journal (up to 64
// MiB): seconds on a disk, a minute or two on a slow USB stick. Half an hour
// means the device no longer answers. A format cut short is no loss: the
// volume is checked afterwards and refused.
std::chrono::minutes NtfsTools::FormatTimeLimit() { return std::chrono::minutes(30); }

// ntfsfix reads the boot sector and the MFT's first records with their
// mirror and resets the journal: it does not walk the volume, so its time
// does not grow with the files. The same bound as the format.
std::chrono::minutes NtfsTools::CheckTimeLimit() { return std::chrono::minutes(30); }

}  // namespace stow::platform
