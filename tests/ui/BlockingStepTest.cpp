// A blocking step runs off the UI thread with its page locked and continues on
// the UI thread, in order with the worker events.
#include "ui/framework/BlockingStep.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ui/framework/headless/HeadlessHost.h"

namespace stow::ui::headless {
namespace {

struct BlockingStepTest : testing::Test {
  HeadlessHost host;
  HeadlessPage& page = host.AddPage("page_copy");
  std::vector<std::string> seen;

  void SetUp() override {
    page.AddControl("prog_text_copy").SetText("0%");
    page.AddControl("btn_start_copy");
    host.Notify().Register([this](const EventThread& event) {
      seen.push_back("event " + std::to_string(event.value));
      return true;
    });
  }
};

TEST_F(BlockingStepTest, LocksThePageRunsOffTheUiThreadAndContinuesOnIt) {
  BlockingStep step(host.Notify());
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::thread::id workThread;
  std::thread::id doneThread;
  int doneResult = -1;
  bool lockedInDone = true;

  ASSERT_TRUE(step.Start(
      page, "prog_text_copy", "Formatting, please wait...",
      [&] {
        workThread = std::this_thread::get_id();
        // A worker event posted while the step runs comes before its end.
        host.Notify().Post({page.Identity(), kEventControls, 7, {}});
        released.wait();
        return 42;
      },
      [&](int result) {
        doneThread = std::this_thread::get_id();
        doneResult = result;
        lockedInDone = page.IsLocked();
        seen.push_back("done");
      }));
  EXPECT_TRUE(page.IsLocked());
  EXPECT_TRUE(step.Running());
  EXPECT_EQ(page.Get("prog_text_copy").Text(), "Formatting, please wait...");
  EXPECT_FALSE(page.Click("btn_start_copy")) << "the locked page takes no input";
  EXPECT_FALSE(step.Start(
      page, "prog_text_copy", "again", [] { return 0; }, [](int) {}));

  ASSERT_TRUE(host.PumpUntil([&] { return !seen.empty(); }));
  EXPECT_TRUE(page.IsLocked()) << "the step has not ended yet";
  release.set_value();
  ASSERT_TRUE(host.PumpUntil([&] { return !step.Running(); }));

  EXPECT_EQ(seen, (std::vector<std::string>{"event 7", "done"}));
  EXPECT_NE(workThread, std::this_thread::get_id());
  EXPECT_EQ(doneThread, std::this_thread::get_id());
  EXPECT_EQ(doneResult, 42);
  EXPECT_FALSE(lockedInDone) << "the page is unlocked before the controller continues";
  EXPECT_FALSE(page.IsLocked());
  EXPECT_TRUE(page.Click("btn_start_copy"));

  // The object runs the next step once the first has ended.
  int second = 0;
  ASSERT_TRUE(step.Start(
      page, "prog_text_copy", "again", [] { return 3; }, [&](int result) { second = result; }));
  ASSERT_TRUE(host.PumpUntil([&] { return second == 3; }));
}

TEST_F(BlockingStepTest, AStepWhoseOwnerIsGoneDoesNotContinue) {
  bool done = false;
  {
    BlockingStep step(host.Notify());
    ASSERT_TRUE(step.Start(
        page, "no_such_text", "waiting", [] { return 1; }, [&](int) { done = true; }));
  }  // waits for the work; its continuation stays queued
  EXPECT_EQ(host.Pump(), 1u);
  EXPECT_FALSE(done);
}

}  // namespace
}  // namespace stow::ui::headless
