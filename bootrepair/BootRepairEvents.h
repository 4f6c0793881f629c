// The one way a worker thread reports to the page that started it: a small
// event posted to a sink. Workers never touch a window or the terminal; the
// sink (the queue the command line's repair chain drains, or the window's
// notify centre) hands the event to its receiver on the receiver's thread.
#pragma once

#include <cstdint>
#include <string>

namespace stow::bootrepair {

// What the event reports.
// The disk check ended; value: its DiskCheckResult (bootrepair/DiskCheck.h).
inline constexpr int kEventDiskCheck = 1;
// The boot repair ended; value: its BootRepairResult (bootrepair/BootRepair.h).
inline constexpr int kEventBootRepair = 2;
// The task is over; value 1 unlocks the page's controls.
inline constexpr int kEventControls = 3;

// Names the page an event is for (the window's pages register their own
// token); kNoSender for a receiver that takes every event.
using EventSender = uint64_t;
inline constexpr EventSender kNoSender = 0;

struct EventThread {
  EventSender sender = kNoSender;
  int kind = 0;  // read as its low 16 bits
  int32_t value = 0;
  std::string text;  // a path that belongs to the result, often empty

  // The kind as receivers compare it.
  int Kind() const { return kind & 0xFFFF; }
};

// Receives events from any thread. Post never blocks on the receiver.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void Post(EventThread event) = 0;
};

}  // namespace stow::bootrepair
