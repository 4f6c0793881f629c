// The shared test helpers in the cross build, run under Wine: temporary
// folders and files work as anywhere; the Linux tools (ntfs-3g, loop devices,
// FUSE, a shell) are not there, so the helpers that need them report that and
// the tests that need them skip with that reason.
#include <windows.h>

#include <random>

#include "tests/testlib/TestUtil.h"

namespace stow::test {
namespace {

constexpr const char* kNoLinuxTools =
    "runs on Linux only: needs the ntfs-3g and util-linux tools, which Windows lacks";

}  // namespace

CommandResult Run(const std::vector<std::string>& /*argv*/) {
  return CommandResult{-1, kNoLinuxTools};
}

CommandResult Shell(const std::string& /*command*/) { return CommandResult{-1, kNoLinuxTools}; }

CommandResult RunCli(const std::vector<std::string>& /*args*/) {
  return CommandResult{-1, kNoLinuxTools};
}

CommandResult RunCliWithStandIn(const std::string& /*program*/, const std::string& /*script*/,
                                const std::vector<std::string>& /*args*/) {
  return CommandResult{-1, kNoLinuxTools};
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

bool HaveTool(const std::string& /*name*/) { return false; }
bool IsRoot() { return true; }
bool HaveFuse() { return false; }
bool HaveLoopDevices() { return false; }

std::string MissingForIntegration(const std::vector<std::string>& /*tools*/, bool /*needLoop*/,
                                  bool /*needFuse*/) {
  return kNoLinuxTools;
}

TempDir::TempDir() {
  std::random_device random;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / ("stowline-test-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder");
}

LoopDevice::LoopDevice(const fs::path& /*image*/, bool /*withPartitions*/,
                       uint32_t /*sectorSize*/) {}
LoopDevice::~LoopDevice() = default;
std::string LoopDevice::Partition(int /*number*/) const { return {}; }

NtfsMount::NtfsMount(const std::string& /*volume*/, bool /*readOnly*/,
                     const std::string& /*options*/)
    : error_(kNoLinuxTools) {}
NtfsMount::~NtfsMount() = default;
bool NtfsMount::Unmount() { return true; }

}  // namespace stow::test
