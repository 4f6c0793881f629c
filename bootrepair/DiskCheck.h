// The disk check that follows every copy and restore: the file system check
// of the destination, then waiting until the destination can be opened
// exclusively again, then the offline registry fix-up that moves the source's
// drive letter over to the destination. The result decides whether the boot
// repair follows.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "bootrepair/BootRepair.h"
#include "bootrepair/BootRepairEvents.h"

namespace stow::bootrepair {

// Results of the disk check, posted as the value of its kind-1 event.
inline constexpr int kDiskCheckOk = 0;
inline constexpr int kDiskCheckVolumeNotReopened = 1;

// The reopening: one attempt, then a pause before each further one.
inline constexpr int kReopenAttempts = 61;
inline constexpr std::chrono::milliseconds kReopenPause{1000};

// The NTFS check that stands in for the system's disk checker: it resets the
// journal and repairs what it can. With kVolumeCheckClean a volume it could
// repair is left clean, as the system's checker leaves it; one it could not is
// left marked for a full check at the next Windows start. (Without it every
// volume would stay marked, and tools such as ntfsresize refuse such volumes.)
inline constexpr const char* kVolumeCheckProgram = "ntfsfix";
inline constexpr const char* kVolumeCheckClean = "--clear-dirty";

struct DiskCheckOptions {
  // Waits between two attempts to reopen the volume; a thread sleep when empty.
  std::function<void(std::chrono::milliseconds)> pause;
};

// Runs the check program on `volume`, logging as the elevated runner does:
// true when the program could be started (its findings are not judged).
bool RunVolumeCheck(const platform::VolumeId& volume);

// One attempt to open the volume for reading with nobody else holding it.
bool TryOpenVolume(const platform::VolumeId& volume);

// The disk check thread's work on `params` (destination, source, source
// letter, image path, sender): frees `params` and posts one kind-1 event,
// value 0 (reopened, fix-up run) or 1 (never reopened), text = the image path.
// Returns 0.
int DiskCheckThread(std::unique_ptr<RepairParams> params, EventSink& sink,
                    const DiskCheckOptions& options = {});

}  // namespace stow::bootrepair
