// The notify centre: worker threads post events (and the UI side posts
// continuations) from any thread; the UI thread delivers them one at a time in
// posting order. An event is offered to the registered handlers in the order
// they registered (the copy page, then the backup page, then the restore page)
// until one takes it; each page declines events whose sender is another page
// (EventIsFor), so an event reaches exactly the page that posted it.
//
// The queue and the order live here, the same for every toolkit. A toolkit
// supplies only the wake-up: a callback, called on the posting thread after
// each post, that makes the UI thread call Deliver soon (a queued call into the
// event loop). Tests pass none and call Deliver themselves.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <variant>
#include <vector>

#include "ui/framework/EventThread.h"

namespace stow::ui {


// True when the handler took the event.
using EventHandler = std::function<bool(const EventThread& event)>;

class NotifyCenter final {
 public:
  explicit NotifyCenter(std::function<void()> wake = {});

  // Any thread: queues the event and returns at once (never waits for the UI).
  void Post(EventThread event);
  // Any thread: queues `call`, to run on the UI thread in its place among the events.
  void PostCall(std::function<void()> call);

  // UI thread. Handlers are asked in registration order; the token unregisters.
  int Register(EventHandler handler);
  void Unregister(int token);

  // UI thread: delivers everything queued, including what the handlers post
  // meanwhile, in order; returns how many items it delivered. A call made from
  // inside a handler (a modal dialog's own loop) delivers nothing, so that the
  // events stay one at a time and in order.
  size_t Deliver();
  // Queued and not yet delivered.
  size_t Pending() const;

 private:
  using Item = std::variant<EventThread, std::function<void()>>;
  void Queue(Item item);
  void Offer(const EventThread& event);

  std::function<void()> wake_;
  mutable std::mutex lock_;
  std::deque<Item> items_;
  std::vector<std::pair<int, EventHandler>> handlers_;
  int nextToken_ = 1;
  bool delivering_ = false;
};

}  // namespace stow::ui
