#include "tasks/DestinationTask.h"

#include <cerrno>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/BlockDevice.h"
#include "platform/VolumeUse.h"
#include "support/Format.h"
#include "support/Log.h"
#include "support/StringTable.h"
#include "tasks/BackupTask.h"
#include "tasks/CommandRunners.h"

namespace stow::tasks {
namespace {

namespace fs = std::filesystem;

// A device or a regular file standing in for a volume; folders and the like are not volumes.
bool IsVolumePath(const std::string& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  return !error && (fs::is_block_file(status) || fs::is_regular_file(status));
}

}  // namespace

Refusal MakeRefusal(std::string_view id, const std::vector<std::string>& args) {
  return Refusal{std::string(id), FormatText(LoadText(id), args)};
}

Refusal OpenDestination(const std::string& path, DestinationInfo& out) {
  // The table's text says only that the volume cannot be opened; the reason
  // follows it, so that a folder, a missing path or a permission error each
  // tell the user what to change.
  auto refuse = [&path](const std::string& why) {
    Refusal r = MakeRefusal("destinationUnopenable");
    r.text += " " + path + ": " + why + ".";
    return r;
  };
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) return refuse(error.message());
  if (!IsVolumePath(path)) {
    return refuse(fs::is_directory(status)
                      ? "a folder; name a partition (such as /dev/sdb1) or a volume file"
                      : "not a block device or a regular file standing in for a volume");
  }
  std::unique_ptr<platform::BlockDevice> device;
  if (const int opened = platform::OpenBlockDevice(path, true, device); opened != 0) {
    return refuse(platform::SystemErrorText(opened));
  }
  out.volume = platform::VolumeId(path);
  out.totalBytes = device->Size();
  return {};
}

Refusal CheckDestinationUse(const DestinationInfo& destination) {
  platform::VolumeUse use;
  if (platform::QueryVolumeUse(destination.volume.DevicePath(), use) != 0) {
    return MakeRefusal("destinationUnopenable");
  }
  if (use.systemRoot) return MakeRefusal("destinationIsSystem");
  if (use.mounted) return MakeRefusal("destinationInUse", {"mounted at " + use.mountPoint});
  if (use.heldByDevice) return MakeRefusal("destinationInUse", {"held by " + use.usedBy});
  return {};
}

Refusal LockTaskVolume(const platform::VolumeId& volume, platform::LockMode mode,
                       std::shared_ptr<platform::TaskLock>& out) {
  std::string conflict;
  const int error = platform::LockVolumeForTask(volume.DevicePath(), mode, out, &conflict);
  if (error == 0) return {};
  if (error == EWOULDBLOCK) {
    return MakeRefusal(mode == platform::LockMode::kShared ? "sourceBusy" : "destinationBusy",
                       {volume.DisplayName(), conflict});
  }
  return MakeRefusal("volumeLockFailed",
                     {volume.DisplayName(), conflict + ": " + platform::SystemErrorText(error)});
}

std::string NoticeFormatText(const platform::VolumeId& destination) {
  return FormatText(LoadText("noticeFormatDisk"), {destination.DisplayName()});
}

Refusal PrepareDestination(const platform::VolumeId& destination, int32_t clusterSize) {
  // A volume this process may not write (a read-only device, missing rights) is
  // named with the system's words before the format is tried.
  std::unique_ptr<platform::BlockDevice> writable;
  if (const int error = platform::OpenBlockDevice(destination.DevicePath(), false, writable);
      error != 0) {
    LogLess("format %s refused: it cannot be opened for writing, error=%d",
            destination.DisplayName().c_str(), error);
    return MakeRefusal("destinationNotWritable",
                       {destination.DisplayName(), platform::SystemErrorText(error)});
  }
  writable.reset();
  const FormatCheckResult result = FormatDestination(destination, clusterSize);
  if (result == kFormatVerified) return {};
  LogLess("format %s with cluster size %d refused: %s", destination.DisplayName().c_str(),
          clusterSize, FormatCheckText(result));
  return MakeRefusal("formatFailed", {destination.DisplayName(), FormatCheckText(result)});
}

FailedTaskEnd EndFailedTask(const platform::VolumeId& destination, engine::TaskError errorCode) {
  FailedTaskEnd end;
  // A half-written destination is no volume anyone can use; leave an empty one.
  const FormatCheckResult reformat = FormatDestination(destination, 0);
  end.reformatted = reformat == kFormatVerified;
  if (!end.reformatted) {
    LogLess("reformat %s after the failed task: %s", destination.DisplayName().c_str(),
            FormatCheckText(reformat));
    end.reformatText = LoadText("ManualFormatDisk");
  }
  end.text = LoadText("taskFailed");
  engine::ErrorCodeToText(errorCode, end.text);
  return end;
}

bool EngineTaskRunning(const engine::TaskState& state) { return state.AnyWorkerRunning(); }

}  // namespace stow::tasks
