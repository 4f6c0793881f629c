// The disk check that follows every copy and restore: the file system check
// of the destination, then waiting until the destination can be opened
// exclusively again. Only a destination that passed it gets its registry
// fixed and its boot files.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/VolumeId.h"

namespace stow::bootrepair {

// Results of the disk check.
enum class DiskCheckResult : int32_t {
  kOk = 0,
  kVolumeNotReopened = 1,
  // The checker could not be run, or it ended with a failure (it found the file
  // system damaged beyond what it repairs). The volume is not reopened and its
  // registry is not touched: writing to a damaged file system makes it worse.
  kFailed = 2,
};

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

// The disk check of a copied or restored `destination`: the check program,
// then, once it passed, attempts to open the volume until nobody else holds
// it (kReopenAttempts, kReopenPause apart). kOk, kVolumeNotReopened or kFailed
// (then the volume is not waited for: `options.checked` has the checker's
// account).
[[nodiscard]] DiskCheckResult CheckDestination(const platform::VolumeId& destination,
                                               const DiskCheckOptions& options = {});

}  // namespace stow::bootrepair
