#include "bootrepair/DiskCheck.h"

#include <thread>
#include <vector>

#include "bootrepair/Registry.h"
#include "bootrepair/WindowsVolume.h"
#include "platform/BlockDevice.h"
#include "platform/Process.h"
#include "support/Log.h"

namespace stow::bootrepair {
namespace {

// Enough of the checker's words for the log; the rest is read and dropped.
constexpr size_t kCheckOutputLimit = 4096;

}  // namespace

bool RunVolumeCheck(const platform::VolumeId& volume) {
  const std::string& device = volume.DevicePath();
  platform::ProcessOutcome outcome;
  platform::RunProcess({kVolumeCheckProgram, kVolumeCheckClean, device}, kCheckOutputLimit,
                       outcome);
  if (outcome.stage != platform::ProcessStage::kEnded) {
    LogLess("run %s fail ,error=0x%x", kVolumeCheckProgram, static_cast<unsigned>(outcome.error));
    return false;
  }
  const std::string parameters = std::string(kVolumeCheckClean) + " " + device;
  LogLess("run success %s  ,parame%s", kVolumeCheckProgram, parameters.c_str());
  if (outcome.exitStatus != 0) {
    // Not a failure of the disk check: only the reopening counts. Kept for the record.
    LogDebug("%s %s ended with status %d: %s", kVolumeCheckProgram, device.c_str(),
             outcome.exitStatus, outcome.output.c_str());
  }
  return true;
}

bool TryOpenVolume(const platform::VolumeId& volume) {
  std::unique_ptr<platform::BlockDevice> device;
  if (platform::OpenBlockDevice(volume.DevicePath(), true, device) != 0) return false;
  // The fix-up mounts the volume next, which needs it released by everyone else.
  if (device->Lock() != 0) return false;
  device->Unlock();
  return true;
}

int DiskCheckThread(std::unique_ptr<RepairParams> params, EventSink& sink,
                    const DiskCheckOptions& options) {
  EnablePrivileges();  // the fix-up checks again and logs what is missing
  RunVolumeCheck(params->destination);
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
    FixMountedDevices(params->source, params->sourceLetter, params->destination);
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
  event.value = reopened ? kDiskCheckOk : kDiskCheckVolumeNotReopened;
  event.text = params->imagePath;
  params.reset();
  sink.Post(std::move(event));
  return 0;
}

}  // namespace stow::bootrepair
