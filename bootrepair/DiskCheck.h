// The disk check that follows every copy and restore: the file system check
// of the destination, then waiting until the destination can be opened
// exclusively again, then the offline registry fix-up that moves the source's
// drive letter over to the destination. The result decides whether the boot
// repair follows.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bootrepair/BootRepair.h"
#include "bootrepair/BootRepairEvents.h"

namespace stow::bootrepair {

// Results of the disk check, posted as the value of its kind-1 event.
enum class DiskCheckResult : int32_t {
  kOk = 0,
  kVolumeNotReopened = 1,
  // The checker could not be run, or it ended with a failure (it found the file
  // system damaged beyond what it repairs). The volume is not reopened and its
  // registry is not touched: writing to a damaged file system makes it worse.
  kFailed = 2,
};

// The result a kind-1 event's value carries. A number that names no result
// says nothing about the volume: it counts as kVolumeNotReopened, as when the
// thread ends without reporting, and the chain stops there.
[[nodiscard]] constexpr DiskCheckResult DiskCheckResultOf(int32_t value) {
  switch (static_cast<DiskCheckResult>(value)) {
    case DiskCheckResult::kOk:
    case DiskCheckResult::kVolumeNotReopened:
    case DiskCheckResult::kFailed:
      return static_cast<DiskCheckResult>(value);
  }
  return DiskCheckResult::kVolumeNotReopened;
}

// The reopening: one attempt, then a pause before each further one.
inline constexpr int kReopenAttempts = 61;
inline constexpr std::chrono::milliseconds kReopenPause{1000};

// What the check program said about a volume.
struct [[nodiscard]] VolumeCheckResult {
  bool started = false;  // the program ran to its end
  int error = 0;         // not started: the system error
  int exitStatus = -1;   // started: its exit status
  std::string summary;   // started: its last line of output ("Volume is corrupt. ...")

  bool Passed() const { return started && exitStatus == 0; }
  // One line for the user: what the checker did or why it did not run.
  std::string Describe() const;
};

struct DiskCheckOptions {
  // Waits between two attempts to reopen the volume; a thread sleep when empty.
  std::function<void(std::chrono::milliseconds)> pause;
  // Receives the checker's result once it has run; may be empty.
  std::function<void(const VolumeCheckResult&)> checked;
};

// Runs the check program on `volume`, logging as the elevated runner does, and
// gives what it found.
[[nodiscard]] VolumeCheckResult RunVolumeCheck(const platform::VolumeId& volume);

// One attempt to open the volume for reading with nobody else holding it.
[[nodiscard]] bool TryOpenVolume(const platform::VolumeId& volume);

// The disk check thread's work on `params` (destination, source, source
// letter, image path, sender): frees `params` and posts one kind-1 event,
// value 0 (checked, reopened, fix-up run), 1 (never reopened) or 2 (the check
// failed), text = the image path. Returns 0.
int DiskCheckThread(std::unique_ptr<RepairParams> params, EventSink& sink,
                    const DiskCheckOptions& options = {});

}  // namespace stow::bootrepair
