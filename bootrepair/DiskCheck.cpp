#include "bootrepair/DiskCheck.h"

#include <thread>
#include <vector>

#include "platform/BlockDevice.h"
#include "platform/NtfsTools.h"
#include "support/Enums.h"
#include "support/Log.h"

namespace stow::bootrepair {

std::string VolumeCheckResult::Describe() const {
  if (!started) {
    return std::string(platform::NtfsTools::CheckProgram()) +
           " could not be run: " + platform::SystemErrorText(error);
  }
  std::string text = std::string(platform::NtfsTools::CheckProgram()) + " ended with status " +
                     std::to_string(exitStatus);
  if (!summary.empty()) text += " (" + summary + ")";
  return text;
}

VolumeCheckResult RunVolumeCheck(const platform::VolumeId& volume) {
  const std::string& device = volume.DevicePath();
  const std::vector<std::string> command = platform::NtfsTools::CheckCommand(device);
  const platform::NtfsToolResult check = platform::NtfsTools().Check(device);
  VolumeCheckResult result;
  if (!check.run.Ran()) {
    LogLess("run %s fail ,error=0x%x", command.front().c_str(),
            static_cast<unsigned>(check.run.error));
    result.error = check.run.error;
    return result;
  }
  std::string parameters;
  for (size_t i = 1; i < command.size(); ++i) parameters += (i > 1 ? " " : "") + command[i];
  LogLess("run success %s  ,parame%s", command.front().c_str(), parameters.c_str());
  result.started = true;
  result.exitStatus = check.run.exitStatus;
  // A checker killed at its time limit says so rather than its last words.
  result.summary =
      check.run.end == platform::kExited ? check.summary : platform::RunEndLabel(check.run.end);
  if (!check.Passed()) {
    LogLess("%s %s: %s: %s", command.front().c_str(), device.c_str(), check.Describe().c_str(),
            check.run.output.c_str());
  }
  return result;
}

bool TryOpenVolume(const platform::VolumeId& volume) {
  std::unique_ptr<platform::BlockDevice> device;
  if (platform::OpenBlockDevice(volume.DevicePath(), true, device) != 0) return false;
  // The fix-up mounts the volume next, which needs it released by everyone else.
  if (device->Lock() != 0) return false;
  // Closing the device releases the lock whatever the unlock says.
  static_cast<void>(device->Unlock());
  return true;
}

DiskCheckResult CheckDestination(const platform::VolumeId& destination,
                                 const DiskCheckOptions& options) {
  const VolumeCheckResult check = RunVolumeCheck(destination);
  if (options.checked) options.checked(check);
  if (!check.Passed()) {
    LogLess("the disk check of %s failed: %s", destination.DisplayName().c_str(),
            check.Describe().c_str());
    return DiskCheckResult::kFailed;
  }
  for (int failures = 0;;) {
    if (TryOpenVolume(destination)) return DiskCheckResult::kOk;
    if (++failures >= kReopenAttempts) break;
    if (options.pause) {
      options.pause(kReopenPause);
    } else {
      std::this_thread::sleep_for(kReopenPause);
    }
  }
  LogLess("%s could not be opened again after the disk check", destination.DisplayName().c_str());
  return DiskCheckResult::kVolumeNotReopened;
}

}  // namespace stow::bootrepair
