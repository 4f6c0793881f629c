#include "bootrepair/DiskCheck.h"

#include <thread>
#include <vector>

#include "bootrepair/Registry.h"
#include "bootrepair/WindowsVolume.h"
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

int DiskCheckThread(std::unique_ptr<RepairParams> params, EventSink& sink,
                    const DiskCheckOptions& options) {
  static_cast<void>(EnablePrivileges());  // the fix-up checks again and logs what is missing
  const VolumeCheckResult check = RunVolumeCheck(params->destination);
  if (options.checked) options.checked(check);
  if (!check.Passed()) {
    LogLess("the disk check of %s failed: %s", params->destination.DisplayName().c_str(),
            check.Describe().c_str());
    EventThread event;
    event.sender = params->sender;
    event.kind = kEventDiskCheck;
    event.value = ToInt(DiskCheckResult::kFailed);
    event.text = params->imagePath;
    params.reset();
    sink.Post(std::move(event));
    return 0;
  }
  bool reopened = false;
  for (int failures = 0;;) {
    if (TryOpenVolume(params->destination)) {
      reopened = true;
      break;
    }
    if (++failures >= kReopenAttempts) break;
    if (options.pause) {
      options.pause(kReopenPause);
    } else {
      std::this_thread::sleep_for(kReopenPause);
    }
  }
  if (reopened && IsWindowsVolume(params->destination)) {
    if (!FixMountedDevices(params->source, params->sourceLetter, params->destination)) {
      LogLess("%s keeps its old drive letters: its registry could not be fixed",
              params->destination.DisplayName().c_str());
    }
  } else if (reopened) {
    // No installation, so no hive: a read-write mount to find that out would
    // only touch the volume (access times) for nothing.
    LogDebug("%s holds no Windows system: no registry to fix",
             params->destination.DisplayName().c_str());
  } else {
    LogLess("%s could not be opened again after the disk check",
            params->destination.DisplayName().c_str());
  }
  EventThread event;
  event.sender = params->sender;
  event.kind = kEventDiskCheck;
  event.value = ToInt(reopened ? DiskCheckResult::kOk : DiskCheckResult::kVolumeNotReopened);
  event.text = params->imagePath;
  params.reset();
  sink.Post(std::move(event));
  return 0;
}

}  // namespace stow::bootrepair
