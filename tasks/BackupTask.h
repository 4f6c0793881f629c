// The parts of a backup that its course's steps run (tasks/BackupSteps.cpp):
// the checks of the source and the target, the image header and the default
// file name, the question, the engine's start, the read-back of the finished
// image and the text of its result.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/image/ImageFormat.h"
#include "engine/transfer/TaskState.h"
#include "platform/VolumeId.h"
#include "platform/VolumeLock.h"

namespace stow::tasks {

// "a folder", "a FIFO", "a character device" ...: what a path that should be a
// regular file is instead, for messages.
std::string FileKindText(const std::filesystem::file_status& status);

struct CalendarDate {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
};

// The local date.
CalendarDate Today();

// The default image file name: "%s%d%02d%02d.%s" with the string table's
// `filePrefix`, the date and `fileSuffix`, e.g. "Velmoras20190517.vmg".
std::string DefaultImageName(const CalendarDate& date);

// Outcomes of the checks before a backup starts.
enum class BackupCheck : int {
  kBackupCheckOk = 0,
  kBackupSourceUnopenable = 1,  // the source cannot be opened
  kBackupSourceNotNtfs = 2,     // not an NTFS volume this program handles
  kBackupImageInvalid = 3,      // the image path names the source, a device or no folder
  kBackupFreeSpaceUnknown = 4,  // the target's file system cannot be asked
  kBackupImageOnSource = 5,     // writing the image would write the source volume
  kBackupSourceBusy = 6,        // another task writes the source (CheckBackupSource)
  kBackupSourceUnsafe = 7,      // mounted read-write, or its file system is inconsistent
};
using enum BackupCheck;

struct BackupSource {
  platform::VolumeId volume;
  uint32_t clusterSize = 0;  // from the boot sector
  bool windows = false;      // "\Windows\System32" is a directory on it
  // The letter its own Windows installation gives it (0: none known).
  char16_t letter = 0;
  // Shared on the volume until the backup has ended: no restore or copy onto it meanwhile.
  std::shared_ptr<platform::TaskLock> lock;
};

// Takes a shared lock on the source (`sourceBusy` while another task of this
// program writes it), opens it read-only and checks that it is an NTFS volume the engine
// handles, that nothing may write to it while it is read, and that its $MFT
// passes the checks a restore makes (engine/check/SourceCheck.h); `why` says what is
// wrong otherwise.
[[nodiscard]] BackupCheck CheckBackupSource(const platform::VolumeId& volume, BackupSource& out,
                                            std::string& why);

// An existing folder receives the default name for `date`; any other path is
// the image file itself.
std::string ResolveImagePath(const std::string& image, const CalendarDate& date);

// The header as the backup writes it. The letter is the one the source's own
// Windows installation gives it (its low 8 bits), 0 when none is known.
engine::ImageHeader MakeImageHeader(const BackupSource& source);

struct BackupPlan {
  BackupSource source;
  std::string imagePath;
  engine::ImageHeader header;
  uint64_t freeBytes = 0;  // free bytes of the target's file system for this image
  bool replacesFile = false;  // a file of that name exists and is replaced on success
  // The checksum file "<image>.sums" is written beside the image; without it
  // the image's contents cannot be verified later.
  bool checksums = true;
  // Tests: called with the image's path once the backup has put it in place and
  // before VerifyBackupImage reads it back.
  std::function<void(const std::string& image)> beforeVerify;
};

// Resolves the image path and refuses, before anything is created, one whose
// writing would change the source (the source under another name, the file
// behind a loop device that is or holds the source, a file on the source's own
// file system), one that exists and is not a regular file (a folder, a device,
// a FIFO), or one in a folder that does not exist; builds the header and reads
// the target's free space. The image is written beside an existing file and
// replaces it only when complete, so the old file's space does not count as free.
[[nodiscard]] BackupCheck PlanBackup(const BackupSource& source, const std::string& image,
                                     const CalendarDate& date, BackupPlan& plan, std::string& why);

// The question before a backup: `confirmBackup` with the source and the path,
// and `noticeReplaceImage` on a second line when an existing file is replaced.
std::string ConfirmBackupText(const BackupPlan& plan);

// Starts the engine's backup; the engine's start result.
[[nodiscard]] engine::StartResult StartBackupTask(engine::TaskState& state, const BackupPlan& plan);

// Reads the finished image back from the disk, not from the page cache (its
// cached pages are written and dropped first), and checks every byte against
// the checksum file the backup wrote. `progress` as VerifyImageContents takes
// it. A fault means the image on the disk is not what was written.
struct BackupVerification {
  bool ok = false;
  std::string text;  // what failed, with the offset and the block; empty when ok
};
BackupVerification VerifyBackupImage(
    const BackupPlan& plan,
    const std::function<bool(uint64_t done, uint64_t total)>& progress = {});

// The text of a finished backup: `backupfinish` for success, else the text of
// the error code (a code without a text of its own gives `taskFailed`).
std::string BackupResultText(engine::TaskError errorCode);

}  // namespace stow::tasks
