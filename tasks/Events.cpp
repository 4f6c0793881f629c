#include "tasks/Events.h"

namespace stow::tasks {

void EventQueue::Post(EventThread event) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(std::move(event));
  }
  posted_.notify_one();
}

std::optional<EventThread> EventQueue::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  if (!posted_.wait_for(guard, timeout, [this] { return !events_.empty(); })) return std::nullopt;
  EventThread event = std::move(events_.front());
  events_.pop_front();
  return event;
}

std::optional<EventThread> EventQueue::TryTake() {
  std::lock_guard<std::mutex> guard(lock_);
  if (events_.empty()) return std::nullopt;
  EventThread event = std::move(events_.front());
  events_.pop_front();
  return event;
}

size_t EventQueue::Size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return events_.size();
}

bool EventIsFor(const EventThread& event, EventSender page) {
  return event.sender == bootrepair::kNoSender || page == bootrepair::kNoSender ||
         event.sender == page;
}

}  // namespace stow::tasks
