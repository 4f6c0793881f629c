// Worker events reach the page that posted them, on the delivering thread, in
// posting order, while workers post concurrently.
#include "ui/framework/NotifyCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ui/framework/EventThread.h"

namespace stow::ui {
namespace {

// Kinds of events other than the end of a task.
constexpr int kOtherEvent = 1;
constexpr int kAnotherEvent = 2;

constexpr EventSender kCopyPage = 1;
constexpr EventSender kBackupPage = 2;
constexpr EventSender kRestorePage = 3;

EventThread Event(EventSender sender, int kind, int32_t value, std::string text = {}) {
  EventThread event;
  event.sender = sender;
  event.kind = kind;
  event.value = value;
  event.text = std::move(text);
  return event;
}

// A page as the window registers it: declines events of other pages, and
// records what it was asked and what it took.
struct RecordingPage {
  explicit RecordingPage(EventSender page) : identity(page) {}
  EventSender identity;
  std::vector<EventThread> taken;
  int asked = 0;

  EventHandler Handler() {
    return [this](const EventThread& event) {
      ++asked;
      if (!EventIsFor(event, identity)) return false;
      taken.push_back(event);
      return true;
    };
  }
};

struct ThreePages : testing::Test {
  NotifyCenter notify;
  RecordingPage copy{kCopyPage};
  RecordingPage backup{kBackupPage};
  RecordingPage restore{kRestorePage};

  void SetUp() override {
    notify.Register(copy.Handler());
    notify.Register(backup.Handler());
    notify.Register(restore.Handler());
  }
};

TEST_F(ThreePages, EachEventReachesOnlyItsOwnPageAlthoughTheCopyPageIsAskedFirst) {
  notify.Post(Event(kRestorePage, kOtherEvent, 0, "/images/a.vmg"));
  EXPECT_EQ(notify.Pending(), 1u);
  EXPECT_TRUE(restore.taken.empty()) << "nothing is delivered before the UI side pumps";

  EXPECT_EQ(notify.Deliver(), 1u);
  EXPECT_EQ(copy.asked, 1);
  EXPECT_TRUE(copy.taken.empty());
  EXPECT_EQ(backup.asked, 1);
  EXPECT_TRUE(backup.taken.empty());
  ASSERT_EQ(restore.taken.size(), 1u);
  EXPECT_EQ(restore.taken[0].Kind(), kOtherEvent);
  EXPECT_EQ(restore.taken[0].text, "/images/a.vmg");

  // An event the copy page takes is not offered further.
  notify.Post(Event(kCopyPage, kEventControls, 1));
  notify.Deliver();
  EXPECT_EQ(copy.taken.size(), 1u);
  EXPECT_EQ(backup.asked, 1);
  EXPECT_EQ(restore.asked, 1);
  EXPECT_EQ(notify.Pending(), 0u);
}

TEST_F(ThreePages, ValueAndEmptyTextArriveIntact) {
  notify.Post(Event(kRestorePage, kAnotherEvent, 5));
  notify.Post(Event(kRestorePage, kAnotherEvent, -1, "x"));
  notify.Post(Event(kRestorePage, 0x10000 | kEventControls, 1));
  notify.Deliver();
  ASSERT_EQ(restore.taken.size(), 3u);
  EXPECT_EQ(restore.taken[0].Kind(), kAnotherEvent);
  EXPECT_EQ(restore.taken[0].value, 5);
  EXPECT_TRUE(restore.taken[0].text.empty());
  EXPECT_EQ(restore.taken[1].value, -1);
  EXPECT_EQ(restore.taken[1].text, "x");
  EXPECT_EQ(restore.taken[2].Kind(), kEventControls) << "the kind is its low 16 bits";
}

TEST_F(ThreePages, EventsAndCallsAreDeliveredInPostingOrderOneAtATime) {
  std::vector<std::string> seen;
  // A handler that posts while it handles, and tries to deliver from inside
  // (as a modal dialog's loop would): the nested call delivers nothing, and
  // what it posted comes after what was queued before.
  notify.Register([&](const EventThread& event) {
    seen.push_back("event " + std::to_string(event.value));
    if (event.value == 1) {
      notify.PostCall([&] { seen.push_back("posted by event 1"); });
      EXPECT_EQ(notify.Deliver(), 0u);
    }
    return true;
  });
  notify.Post(Event(99, 7, 1));
  notify.PostCall([&] { seen.push_back("call"); });
  notify.Post(Event(99, 7, 2));
  EXPECT_EQ(notify.Deliver(), 4u);
  EXPECT_EQ(seen, (std::vector<std::string>{"event 1", "call", "event 2", "posted by event 1"}));
}

TEST(NotifyCenter, UnregisteredHandlersAreNoLongerAskedAndWakeFollowsEachPost) {
  std::atomic<int> wakes{0};
  NotifyCenter notify([&] { ++wakes; });
  int asked = 0;
  const int token = notify.Register([&](const EventThread&) {
    ++asked;
    return true;
  });
  notify.Post(Event(1, 1, 0));
  notify.PostCall([] {});
  EXPECT_EQ(wakes.load(), 2);
  notify.Deliver();
  EXPECT_EQ(asked, 1);
  notify.Unregister(token);
  notify.Post(Event(1, 1, 0));
  notify.Deliver();
  EXPECT_EQ(asked, 1);
}

// Workers post while the UI side delivers: every event arrives exactly once,
// and each worker's events in the order it posted them.
TEST(NotifyCenterThreads, ConcurrentPostersWhileTheUiSidePumps) {
  constexpr int kWorkers = 4;
  constexpr int kEventsPerWorker = 2000;
  NotifyCenter notify;
  std::vector<std::vector<int32_t>> received(kWorkers);
  notify.Register([&](const EventThread& event) {
    received[event.sender - 1].push_back(event.value);
    return true;
  });
  std::atomic<int> running{kWorkers};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < kEventsPerWorker; ++i) {
        notify.Post(Event(static_cast<EventSender>(w + 1), kAnotherEvent, i));
      }
      --running;
    });
  }
  while (running.load() > 0) notify.Deliver();
  for (std::thread& worker : workers) worker.join();
  notify.Deliver();
  for (int w = 0; w < kWorkers; ++w) {
    ASSERT_EQ(received[w].size(), static_cast<size_t>(kEventsPerWorker)) << "worker " << w;
    for (int i = 0; i < kEventsPerWorker; ++i) ASSERT_EQ(received[w][i], i) << "worker " << w;
  }
}

}  // namespace
}  // namespace stow::ui
