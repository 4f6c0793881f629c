// The parts of a restore that its course's steps run
// (tasks/DestinationSteps.cpp): the rules that decide whether an image may be
// restored onto a destination (in their fixed order, each with its one
// message), the question, the format that prepares the destination with the
// image's cluster size, and the engine's start.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/image/ImageFormat.h"
#include "engine/transfer/TaskState.h"
#include "tasks/DestinationTask.h"

namespace stow::tasks {

// Cluster sizes an image may carry: powers of two from a sector to 2 MiB.
using engine::kMaxImageClusterSize;
using engine::kMinImageClusterSize;

struct RestorePlan {
  std::string imagePath;
  engine::ImageHeader header;
  uint64_t imageBytes = 0;
  DestinationInfo destination;
  // Exclusive on the destination from the checks until the task has ended.
  std::shared_ptr<platform::TaskLock> lock;
  // Read back what was written before the restore counts as done.
  engine::VerifyOptions verify;
  // The image has a checksum file that suits it (CheckRestoreChecksums): the
  // restore checks every chunk against it before it writes it.
  bool checksums = false;
};

// The space a restore needs: the image's size × 11 ÷ 10, without overflow.
uint64_t RestoreSpaceNeeded(uint64_t imageBytes);

// The rules on the image alone, the first four of CheckRestore: a task
// already running, an empty path, a path that is no regular file, a header
// that is not accepted. Gives the header read when it passes.
Refusal CheckRestoreChoice(const engine::TaskState& state, const std::string& imagePath,
                           engine::ImageHeader* header = nullptr);

// The rules, in order: a task already running (`restoreThreadIsRunning`), an
// empty image path (`selectBackupPath`), an image path that names something
// other than a regular file (a folder, a device, a FIFO: `imageNotAFile`, found
// without opening it), an image whose header is not accepted or records no
// usable cluster size (`backupFileError`), no destination (`choosedestance`),
// one that cannot be opened (OpenDestination), an image stored on the
// destination or behind it (the file behind a loop device that is or holds the
// destination: `backupFileInSelectPath`), the destination's lock held by
// another task (`destinationBusy`, LockTaskVolume), a destination
// in use (CheckDestinationUse), and a destination smaller than the space the
// image needs (`diskSpaceNotEnough`). Fills `plan` when all pass.
Refusal CheckRestore(const engine::TaskState& state, const std::string& imagePath,
                     const std::string& destination, RestorePlan& plan);

// The checks before the format that read the image through: its whole
// structure as `inspect` surveys it (every block record, every run's data
// present, nothing missing at the end; the data itself is not read, apart from
// the source's $MFT), `imageDamaged` with what is wrong and where. Run once
// CheckRestore has passed and holds the destination's lock.
Refusal CheckRestoreImage(const RestorePlan& plan);

// The image's checksum file, read before the format: none is fine (the image
// restores unchecked, NoChecksumNotice says so); one that is damaged, from a
// newer version, or that belongs to another image (its size or its header
// checksum differs) is refused with `checksumFileUnusable`. Sets
// plan.checksums.
Refusal CheckRestoreChecksums(RestorePlan& plan);

// `noticeNoChecksumFile` when the image has no checksum file, else empty.
std::string NoChecksumNotice(const RestorePlan& plan);

// `confirmRestorePartition`, a line feed, and `noticeFormatDisk`.
std::string ConfirmRestoreText(const RestorePlan& plan);

// Formats the destination with the cluster size the image records.
Refusal PrepareRestore(const RestorePlan& plan);

// Starts the engine's restore; on a start failure `runTaskError` with the code.
Refusal StartRestoreTask(engine::TaskState& state, const RestorePlan& plan);

// What the steps after a successful restore is given.
PostTaskRequest RestoreRequest(const RestorePlan& plan);

}  // namespace stow::tasks
