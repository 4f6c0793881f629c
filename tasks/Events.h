// Worker-to-front-end events without a toolkit: a queue that any thread posts
// to and the receiver drains on its own thread, in posting order. The command
// line waits on it while the disk check and the boot repair run; the window
// attaches its own queued sink to the same EventSink interface.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "bootrepair/BootRepairEvents.h"

namespace stow::tasks {

using bootrepair::EventSender;
using bootrepair::EventSink;
using bootrepair::EventThread;

class EventQueue final : public EventSink {
 public:
  // Appends the event and wakes a waiting receiver; never waits for it.
  void Post(EventThread event) override;

  // The oldest event, waiting up to `timeout` for one; nothing when none came.
  std::optional<EventThread> Wait(std::chrono::milliseconds timeout);
  // The oldest event if one is queued.
  std::optional<EventThread> TryTake();
  size_t Size() const;

 private:
  mutable std::mutex lock_;
  std::condition_variable posted_;
  std::deque<EventThread> events_;
};

// Offers an event to a page: true when the page takes it, that is when the
// event names this page or names none. A page declines events of other pages,
// so that each event reaches exactly the page that posted it.
bool EventIsFor(const EventThread& event, EventSender page);

}  // namespace stow::tasks
