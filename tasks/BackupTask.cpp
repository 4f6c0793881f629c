#include "tasks/BackupTask.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "bootrepair/Registry.h"
#include "bootrepair/WindowsVolume.h"
#include "engine/check/SourceCheck.h"
#include "engine/core/TaskError.h"
#include "engine/disk/Disk.h"
#include "engine/image/ImageChecksums.h"
#include "platform/BlockDevice.h"
#include "platform/Files.h"
#include "platform/VolumeUse.h"
#include "support/Format.h"
#include "support/Log.h"
#include "support/StringTable.h"

namespace stow::tasks {
namespace {

namespace fs = std::filesystem;

constexpr int kTmYearBase = 1900;
constexpr int kTmMonthBase = 1;

}  // namespace

std::string FileKindText(const std::filesystem::file_status& status) {
  switch (status.type()) {
    case fs::file_type::directory:
      return "a folder";
    case fs::file_type::block:
      return "a block device";
    case fs::file_type::character:
      return "a character device";
    case fs::file_type::fifo:
      return "a FIFO";
    case fs::file_type::socket:
      return "a socket";
    case fs::file_type::regular:
      return "a regular file";
    default:
      return "no regular file";
  }
}

CalendarDate Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  // The front ends ask from one thread; the C library's buffer is copied at once.
  if (const std::tm* t = std::localtime(&now); t != nullptr) local = *t;
  return {local.tm_year + kTmYearBase, local.tm_mon + kTmMonthBase, local.tm_mday};
}

std::string DefaultImageName(const CalendarDate& date) {
  const std::string prefix = LoadText("filePrefix");
  const std::string suffix = LoadText("fileSuffix");
  char digits[32];
  std::snprintf(digits, sizeof digits, "%d%02d%02d", date.year, date.month, date.day);
  return prefix + digits + "." + suffix;
}

BackupCheck CheckBackupSource(const platform::VolumeId& volume, BackupSource& out,
                              std::string& why) {
  // Before the first read: a volume another task is formatting or writing is
  // no source, and none may start writing it while it is read.
  std::string conflict;
  const int locked =
      platform::LockVolumeForTask(volume.DevicePath(), platform::LockMode::kShared, out.lock, &conflict);
  if (locked == EWOULDBLOCK) {
    why = FormatText(LoadText("sourceBusy"), {volume.DisplayName(), conflict});
    return kBackupSourceBusy;
  }
  engine::CDisk disk;
  if (disk.InitDisk(volume, true) != engine::DiskResult::kOk) {
    why = "cannot open " + volume.DisplayName() + ": " +
          platform::SystemErrorText(disk.Device().LastOpenError());
    return kBackupSourceUnopenable;
  }
  if (locked != 0) {
    why = FormatText(LoadText("volumeLockFailed"),
                     {volume.DisplayName(), conflict + ": " + platform::SystemErrorText(locked)});
    return kBackupSourceBusy;
  }
  std::string reason;
  if (disk.Mft().CheckNtfsVolume(&reason) != engine::DiskResult::kOk) {
    why = volume.DisplayName() + " is not an NTFS volume this program can back up: " + reason;
    return kBackupSourceNotNtfs;
  }
  // A $MFT that cannot be read at all is left to the engine's reader, which
  // refuses it with the same reason before it sends anything.
  if (engine::CheckSourceNotWritable(volume, reason) != engine::TaskError::kNone ||
      engine::CheckSourceRecords(disk, reason) == engine::TaskError::kSourceInconsistent) {
    why = volume.DisplayName() + " cannot be backed up: " + reason;
    return kBackupSourceUnsafe;
  }
  out.volume = volume;
  out.clusterSize = disk.Device().ClusterSize();
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

BackupCheck PlanBackup(const BackupSource& source, const std::string& image,
                       const CalendarDate& date, BackupPlan& plan, std::string& why) {
  plan.source = source;
  plan.imagePath = ResolveImagePath(image, date);
  plan.header = MakeImageHeader(source);
  plan.replacesFile = false;
  const fs::path path(plan.imagePath);
  std::error_code error;
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  if (!fs::is_directory(folder, error)) {
    why = "the folder " + folder.string() + " does not exist";
    return kBackupImageInvalid;
  }
  std::string how;
  if (platform::FileOverlapsVolume(plan.imagePath, source.volume.DevicePath(), &how)) {
    why = "the image " + plan.imagePath + " would be written onto the source volume: " + how +
          ". Choose a folder on another volume";
    return kBackupImageOnSource;
  }
  // Only status, never an open: opening a FIFO waits for a writer.
  const fs::file_status status = fs::status(path, error);
  if (fs::exists(status)) {
    if (!fs::is_regular_file(status)) {
      why = plan.imagePath + " exists and is " + FileKindText(status) +
            ", not a regular file. Name an image file or a folder";
      return kBackupImageInvalid;
    }
    plan.replacesFile = true;
  }
  const int asked = platform::QueryFreeSpace(plan.imagePath, plan.freeBytes);
  if (asked != 0) {
    why = "cannot read the free space for " + plan.imagePath + ": " +
          platform::SystemErrorText(asked);
    return kBackupFreeSpaceUnknown;
  }
  return kBackupCheckOk;
}

std::string ConfirmBackupText(const BackupPlan& plan) {
  std::string text =
      FormatText(LoadText("confirmBackup"), {plan.source.volume.DisplayName(), plan.imagePath});
  if (plan.replacesFile) text += "\n" + FormatText(LoadText("noticeReplaceImage"), {plan.imagePath});
  return text;
}

engine::StartResult StartBackupTask(engine::TaskState& state, const BackupPlan& plan) {
  LogLess("Start backup!");
  return state.StartBackup(plan.source.volume, plan.imagePath, plan.header, plan.freeBytes,
                           plan.checksums);
}

BackupVerification VerifyBackupImage(
    const BackupPlan& plan, const std::function<bool(uint64_t done, uint64_t total)>& progress) {
  BackupVerification result;
  if (plan.beforeVerify) plan.beforeVerify(plan.imagePath);
  const std::string& path = plan.imagePath;
  std::unique_ptr<platform::BlockDevice> file;
  for (const std::string& name : {engine::ChecksumPathFor(path), path}) {
    if (const int opened = platform::OpenBlockDevice(name, true, file); opened != 0) {
      result.text = opened == ENOENT
                        ? name + " is missing"
                        : name + " cannot be opened: " + platform::SystemErrorText(opened);
      return result;
    }
    // Clean pages only can be dropped: written to the storage first.
    int dropped = file->Flush();
    if (dropped == 0) dropped = file->DropCachedData(0, 0);
    if (dropped != 0) {
      result.text = "the cached copy of " + name + " cannot be dropped to read it from the disk: " +
                    platform::SystemErrorText(dropped);
      return result;
    }
  }
  const engine::ImageVerification v = engine::VerifyImageContents(*file, path, progress);
  if (!v.checksumsFound) {
    result.text = "the checksum file " + engine::ChecksumPathFor(path) + " is missing";
  } else if (!v.ok) {
    result.text = v.faultText;
  }
  result.ok = v.ok;
  return result;
}

std::string BackupResultText(engine::TaskError errorCode) {
  if (errorCode == engine::TaskError::kSuccess) return LoadText("backupfinish");
  std::string text = LoadText("taskFailed");
  engine::ErrorCodeToText(errorCode, text);
  return text;
}

}  // namespace stow::tasks
