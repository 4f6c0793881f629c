// The event a thread posts to a page of the window through the notify centre:
// a small record the UI thread hands to the page it names, in posting order.
// Threads never touch a window; the course of a task reaches its page through
// the page's PageCourse, and a page posts itself the end of a task (the
// controls come back once the result dialog has closed).
#pragma once

#include <cstdint>
#include <string>

namespace stow::ui {

// The task is over; value 1 unlocks the page's controls.
inline constexpr int kEventControls = 3;

// Names the page an event is for (each page has its own token); kNoSender for
// a receiver that takes every event.
using EventSender = uint64_t;
inline constexpr EventSender kNoSender = 0;

struct EventThread {
  EventSender sender = kNoSender;
  int kind = 0;  // read as its low 16 bits
  int32_t value = 0;
  std::string text;  // a path that belongs to the event, often empty

  // The kind as receivers compare it.
  int Kind() const { return kind & 0xFFFF; }
};

// Offers an event to a page: true when the page takes it, that is when the
// event names this page or names none. A page declines events of other pages,
// so that each event reaches exactly the page that posted it.
inline bool EventIsFor(const EventThread& event, EventSender page) {
  return event.sender == kNoSender || page == kNoSender || event.sender == page;
}

}  // namespace stow::ui
