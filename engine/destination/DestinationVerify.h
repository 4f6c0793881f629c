// The read-back of a copy or restore that verifies what it wrote.
//
// While it places the data, the partition writer notes every chunk it writes
// verbatim: where on the destination, how long, and the XXH3-64 of the bytes
// it handed the device. Those bytes are the source's (copy) or the image's as
// its reader checked them (restore), so a chunk that reads back with the same
// hash holds what the source held. After the transfer and the finaliser the
// writer reads every noted range back from the storage, past the system's
// cache, in large requests in the order of the device.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/TaskError.h"

namespace stow::platform {
class BlockDevice;
}

namespace stow::engine {

// One chunk as the writer wrote it.
struct WrittenRange {
  uint64_t offset = 0;  // bytes from the start of the destination volume
  uint64_t length = 0;  // bytes
  uint64_t hash = 0;    // XXH3-64 of the bytes written (Xxh3)
  uint64_t record = 0;  // the source's MFT record whose data it is
};

// What the read-back is checked against, and what it reports.
struct VerifyRun {
  // Raised to stop; the read-back then ends with the stop code.
  const std::atomic<bool>* stop = nullptr;
  // Bytes of the ranges compared so far.
  std::atomic<uint64_t>* done = nullptr;
  // The task's name in the advice of a failure: "restore" or "copy".
  const char* task = "restore";
};

// Reads `ranges` back from `device` and compares each with its hash.
// TaskError::kNone when every range reads back as written; else kManualStop
// (stopped), kVerifyFailed (a range reads back differently or cannot be read;
// the system's cache cannot be dropped) or kWriteFailed (the destination
// cannot be flushed), with `detail` naming the destination's byte offset, the
// source's record and what to do. Stops at the first fault.
[[nodiscard]] TaskError VerifyWrittenRanges(platform::BlockDevice& device,
                                            std::vector<WrittenRange> ranges, const VerifyRun& run,
                                            std::string& detail);

}  // namespace stow::engine
