#include "tasks/RestoreTask.h"

#include <filesystem>
#include <memory>
#include <system_error>

#include "engine/image/ImageChecksums.h"
#include "engine/image/ImageSurvey.h"
#include "engine/image/MftExtents.h"
#include "platform/BlockDevice.h"
#include "platform/VolumeUse.h"
#include "support/Format.h"
#include "support/Log.h"
#include "support/StringTable.h"
#include "tasks/BackupTask.h"

namespace stow::tasks {
namespace {

uint64_t ImageSize(const std::string& path) {
  std::unique_ptr<platform::BlockDevice> file;
  if (platform::OpenBlockDevice(path, true, file) != 0) return 0;
  return file->Size();
}

}  // namespace

uint64_t RestoreSpaceNeeded(uint64_t imageBytes) {
  // size × 11 ÷ 10 is size + size ÷ 10 exactly; this form cannot overflow before the sum.
  const uint64_t extra = imageBytes / 10;
  return imageBytes > UINT64_MAX - extra ? UINT64_MAX : imageBytes + extra;
}

Refusal CheckRestoreChoice(const engine::TaskState& state, const std::string& imagePath,
                           engine::ImageHeader* out) {
  if (EngineTaskRunning(state)) return MakeRefusal("restoreThreadIsRunning");
  if (imagePath.empty()) return MakeRefusal("selectBackupPath");
  // Only status, never an open: opening a FIFO waits for a writer.
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(imagePath, error);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    return MakeRefusal("imageNotAFile", {imagePath, FileKindText(status)});
  }
  // The table's text says only that the file cannot be read; what is wrong
  // with which file follows it.
  auto unreadable = [&imagePath](const std::string& why) {
    Refusal r = MakeRefusal("backupFileError");
    r.text += " " + imagePath + ": " + why + ".";
    return r;
  };
  if (!std::filesystem::exists(status)) {
    return unreadable(error ? error.message() : std::string("No such file or directory"));
  }
  engine::ImageHeaderBytes bytes{};
  if (!engine::CheckImageHeader(bytes, imagePath).Ok()) {
    return unreadable("it cannot be opened, or it does not start with an image header");
  }
  const engine::ImageHeader header = engine::ImageHeader::Decode(bytes);
  // The cluster size is what the destination is formatted with; a header that
  // gives none a format accepts describes no volume this program wrote.
  if (!engine::IsImageClusterSize(header.clusterSize)) {
    LogLess("restore: the image records the cluster size %u", header.clusterSize);
    return unreadable("its header records a cluster size of " + std::to_string(header.clusterSize) +
                      " bytes, which no NTFS volume has");
  }
  if (out != nullptr) *out = header;
  return {};
}

Refusal CheckRestore(const engine::TaskState& state, const std::string& imagePath,
                     const std::string& destination, RestorePlan& plan) {
  engine::ImageHeader header;
  if (Refusal r = CheckRestoreChoice(state, imagePath, &header); r.Refused()) return r;
  if (destination.empty()) return MakeRefusal("choosedestance");
  DestinationInfo info;
  if (Refusal r = OpenDestination(destination, info); r.Refused()) return r;
  // Formatting the destination would destroy the image it is to receive.
  if (std::string how; platform::FileOverlapsVolume(imagePath, destination, &how)) {
    Refusal r = MakeRefusal("backupFileInSelectPath");
    r.text += " (" + how + ")";
    return r;
  }
  // Before anything else looks at the destination: a second task meets the
  // first one's lock, whatever the first is doing to the volume.
  std::shared_ptr<platform::TaskLock> lock;
  if (Refusal r = LockTaskVolume(info.volume, platform::LockMode::kExclusive, lock); r.Refused()) {
    return r;
  }
  if (Refusal r = CheckDestinationUse(info); r.Refused()) return r;
  const uint64_t imageBytes = ImageSize(imagePath);
  if (RestoreSpaceNeeded(imageBytes) > info.totalBytes) return MakeRefusal("diskSpaceNotEnough");
  plan.imagePath = imagePath;
  plan.header = header;
  plan.imageBytes = imageBytes;
  plan.destination = info;
  plan.lock = std::move(lock);
  return {};
}

Refusal CheckRestoreImage(const RestorePlan& plan) {
  engine::ImageSurvey survey;
  const int opened = engine::SurveyImageFile(plan.imagePath, survey);
  if (opened != 0) {
    return MakeRefusal("imageDamaged", {plan.imagePath, platform::SystemErrorText(opened)});
  }
  if (!survey.ok) {
    LogLess("restore: %s: %s", plan.imagePath.c_str(), survey.faultText.c_str());
    return MakeRefusal("imageDamaged", {plan.imagePath, survey.faultText});
  }
  // A $MFT continued in extension records: every extent where the writer needs it.
  std::string why;
  if (engine::CheckImageMftFile(plan.imagePath, why) != engine::TaskError::kNone) {
    LogLess("restore: %s: %s", plan.imagePath.c_str(), why.c_str());
    return MakeRefusal("imageDamaged", {plan.imagePath, why});
  }
  return {};
}

Refusal CheckRestoreChecksums(RestorePlan& plan) {
  plan.checksums = false;
  engine::ImageChecksums sums;
  std::string why;
  switch (engine::LoadChecksumFile(plan.imagePath, sums, why)) {
    case engine::ChecksumLoad::kMissing:
      return {};
    case engine::ChecksumLoad::kDamaged:
    case engine::ChecksumLoad::kReadFailed:
      LogLess("restore: %s", why.c_str());
      return MakeRefusal("checksumFileUnusable", {why});
    case engine::ChecksumLoad::kLoaded:
      break;
  }
  const std::string sumsPath = engine::ChecksumPathFor(plan.imagePath);
  if (sums.imageSize != plan.imageBytes) {
    return MakeRefusal(
        "checksumFileUnusable",
        {sumsPath + " describes an image of " + std::to_string(sums.imageSize) + " bytes, but " +
         plan.imagePath + " holds " + std::to_string(plan.imageBytes) +
         ": it belongs to another image, or the image was changed"});
  }
  engine::ImageHeaderBytes header{};
  if (!engine::CheckImageHeader(header, plan.imagePath).Ok() ||
      engine::Xxh3(header) != sums.entries.front().hash) {
    return MakeRefusal("checksumFileUnusable",
                       {"the image header of " + plan.imagePath + " does not match " + sumsPath +
                        ": it belongs to another image, or the image was changed"});
  }
  plan.checksums = true;
  return {};
}

std::string NoChecksumNotice(const RestorePlan& plan) {
  if (plan.checksums) return {};
  return FormatText(LoadText("noticeNoChecksumFile"),
                    {plan.imagePath, engine::ChecksumPathFor(plan.imagePath)});
}

std::string ConfirmRestoreText(const RestorePlan& plan) {
  return FormatText(LoadText("confirmRestorePartition"), {plan.destination.volume.DisplayName()}) +
         "\n" + NoticeFormatText(plan.destination.volume);
}

Refusal PrepareRestore(const RestorePlan& plan) {
  return PrepareDestination(plan.destination.volume, static_cast<int32_t>(plan.header.clusterSize));
}

Refusal StartRestoreTask(engine::TaskState& state, const RestorePlan& plan) {
  const engine::StartResult started =
      state.StartRestore(plan.imagePath, plan.destination.volume, plan.verify);
  if (started == engine::kStartOk) return {};
  return MakeRefusal("runTaskError", {std::to_string(ToInt(started))});
}

PostTaskRequest RestoreRequest(const RestorePlan& plan) {
  PostTaskRequest request;
  request.kind = engine::TaskKind::kRestore;
  request.destination = plan.destination.volume;
  request.imagePath = plan.imagePath;
  request.sourceLetter = plan.header.letter;
  return request;
}



}  // namespace stow::tasks
