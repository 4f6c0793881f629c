#include "tasks/BackupTask.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "bootrepair/Registry.h"
#include "bootrepair/WindowsVolume.h"
#include "engine/Disk.h"
#include "platform/BlockDevice.h"
#include "platform/Files.h"
#include "support/Log.h"
#include "support/StringTable.h"

namespace stow::tasks {
namespace {

namespace fs = std::filesystem;

constexpr int kTmYearBase = 1900;
constexpr int kTmMonthBase = 1;

}  // namespace

CalendarDate Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  // The front ends ask from one thread; the C library's buffer is copied at once.
  if (const std::tm* t = std::localtime(&now); t != nullptr) local = *t;
  return {local.tm_year + kTmYearBase, local.tm_mon + kTmMonthBase, local.tm_mday};
}

std::string DefaultImageName(const CalendarDate& date) {
  const std::string prefix = LoadString("filePrefix");
  const std::string suffix = LoadString("fileSuffix");
  char digits[32];
  std::snprintf(digits, sizeof digits, "%d%02d%02d", date.year, date.month, date.day);
  return prefix + digits + "." + suffix;
}

std::string FormatText(std::string_view format, const std::vector<std::string>& args) {
  std::string out;
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '%' || i + 1 == format.size()) {
      out += c;
      continue;
    }
    const char kind = format[i + 1];
    if (kind == '%') {
      out += '%';
      ++i;
    } else if (kind == 'C' || kind == 's' || kind == 'd') {
      if (next < args.size()) out += args[next++];
      ++i;
    } else {
      out += c;
    }
  }
  return out;
}

int CheckBackupSource(const platform::VolumeId& volume, BackupSource& out, std::string& why) {
  engine::CDisk disk;
  if (disk.InitDisk(volume, true) != engine::kDiskOk) {
    why = "cannot open " + volume.DisplayName() + ": " +
          platform::SystemErrorText(disk.LastOpenError());
    return kBackupSourceUnopenable;
  }
  std::string reason;
  if (disk.CheckNtfsVolume(&reason) != engine::kDiskOk) {
    why = volume.DisplayName() + " is not an NTFS volume this program can back up: " + reason;
    return kBackupSourceNotNtfs;
  }
  out.volume = volume;
  out.clusterSize = disk.ClusterSize();
  out.windows = bootrepair::FindWindowsSystemDirectory(disk) == engine::ntfs::LookupResult::kFound;
  // A restore moves the drive letter that this installation gives its own volume.
  if (out.windows) out.letter = bootrepair::LetterOfVolumeInOwnHive(volume);
  return kBackupCheckOk;
}

std::string ResolveImagePath(const std::string& image, const CalendarDate& date) {
  std::error_code error;
  if (fs::is_directory(image, error)) return (fs::path(image) / DefaultImageName(date)).string();
  return image;
}

engine::ImageHeader MakeImageHeader(const BackupSource& source) {
  engine::ImageHeader header;
  header.letter = static_cast<uint8_t>(source.letter & 0xFF);
  header.windows = source.windows ? 1 : 0;
  header.clusterSize = source.clusterSize;
  header.marker = engine::kImageMarker;
  return header;
}

int PlanBackup(const BackupSource& source, const std::string& image, const CalendarDate& date,
               BackupPlan& plan, std::string& why) {
  plan.source = source;
  plan.imagePath = ResolveImagePath(image, date);
  plan.header = MakeImageHeader(source);
  const fs::path path(plan.imagePath);
  std::error_code error;
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  if (!fs::is_directory(folder, error)) {
    why = "the folder " + folder.string() + " does not exist";
    return kBackupImageInvalid;
  }
  uint64_t existing = 0;
  if (fs::exists(path, error)) {
    // Creating the image empties the file: it must be an ordinary file, and never
    // the volume that is being read.
    if (fs::equivalent(path, source.volume.DevicePath(), error)) {
      why = plan.imagePath + " is the source volume itself";
      return kBackupImageInvalid;
    }
    if (!fs::is_regular_file(path, error)) {
      why = plan.imagePath + " exists and is not a regular file";
      return kBackupImageInvalid;
    }
    platform::QueryFileSize(plan.imagePath, existing);
  }
  const int asked = platform::QueryFreeSpace(plan.imagePath, plan.freeBytes);
  if (asked != 0) {
    why = "cannot read the free space for " + plan.imagePath + ": " +
          platform::SystemErrorText(asked);
    return kBackupFreeSpaceUnknown;
  }
  plan.freeBytes += existing;
  return kBackupCheckOk;
}

std::string ConfirmBackupText(const BackupPlan& plan) {
  return FormatText(LoadString("confirmBackup"),
                    {plan.source.volume.DisplayName(), plan.imagePath});
}

int StartBackupTask(engine::TaskState& state, const BackupPlan& plan) {
  LogLess("Start backup!");
  return state.StartBackup(plan.source.volume, plan.imagePath, 0, plan.header, plan.freeBytes);
}

std::string BackupResultText(int errorCode) {
  if (errorCode == engine::kTaskSuccess) return LoadString("backupfinish");
  std::string text = LoadString("taskFailed");
  engine::ErrorCodeToText(errorCode, text);
  return text;
}

}  // namespace stow::tasks
