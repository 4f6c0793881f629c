#include "platform/SystemTools.h"

namespace stow::platform {

std::vector<std::string> NtfsFormatCommand(const NtfsFormatRequest& request) {
  std::vector<std::string> argv{"mkntfs", "--fast", "--force"};
  if (request.clusterBytes != 0) {
    argv.insert(argv.end(), {"--cluster-size", std::to_string(request.clusterBytes)});
  }
  argv.insert(argv.end(), {"--partition-start", std::to_string(request.partitionStart), "--heads",
                           std::to_string(request.heads), "--sectors-per-track",
                           std::to_string(request.sectorsPerTrack), request.device});
  return argv;
}

// ntfsfix resets the journal and repairs what it can. With --clear-dirty a
// volume it could repair is left clean, as the system's checker leaves it; one
// it could not is left marked for a full check at the next Windows start.
// (Without it every volume would stay marked, and tools such as ntfsresize
// refuse such volumes.)
const char* VolumeCheckProgram() { return "ntfsfix"; }

std::vector<std::string> VolumeCheckCommand(const std::string& device) {
  return {VolumeCheckProgram(), "--clear-dirty", device};
}

}  // namespace stow::platform
