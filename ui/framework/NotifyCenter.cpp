#include "ui/framework/NotifyCenter.h"

#include <algorithm>
#include <utility>

namespace stow::ui {

NotifyCenter::NotifyCenter(std::function<void()> wake) : wake_(std::move(wake)) {}

void NotifyCenter::Post(EventThread event) { Queue(std::move(event)); }

void NotifyCenter::PostCall(std::function<void()> call) { Queue(std::move(call)); }

void NotifyCenter::Queue(Item item) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    items_.push_back(std::move(item));
  }
  if (wake_) wake_();
}

int NotifyCenter::Register(EventHandler handler) {
  const int token = nextToken_++;
  handlers_.emplace_back(token, std::move(handler));
  return token;
}

void NotifyCenter::Unregister(int token) {
  std::erase_if(handlers_, [token](const auto& entry) { return entry.first == token; });
}

size_t NotifyCenter::Deliver() {
  if (delivering_) return 0;
  delivering_ = true;
  size_t delivered = 0;
  for (;;) {
    Item item;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (items_.empty()) break;
      item = std::move(items_.front());
      items_.pop_front();
    }
    if (auto* event = std::get_if<EventThread>(&item)) {
      Offer(*event);
    } else {
      std::get<std::function<void()>>(item)();
    }
    ++delivered;
  }
  delivering_ = false;
  return delivered;
}

void NotifyCenter::Offer(const EventThread& event) {
  // A handler may unregister itself or another while it runs: ask a copy.
  const auto handlers = handlers_;
  for (const auto& [token, handler] : handlers) {
    if (handler(event)) return;
  }
}

size_t NotifyCenter::Pending() const {
  std::lock_guard<std::mutex> guard(lock_);
  return items_.size();
}

}  // namespace stow::ui
