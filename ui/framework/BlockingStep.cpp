#include "ui/framework/BlockingStep.h"

#include <thread>
#include <utility>

namespace stow::ui {

// One started step, shared by the object, the worker and the continuation.
struct BlockingStep::Run {
  std::thread worker;
  int result = 0;         // written by the worker before it posts the continuation
  bool finished = false;  // UI thread: the continuation ran
  bool dropped = false;   // UI thread: the object is gone, the continuation must not run
};

BlockingStep::~BlockingStep() {
  if (!run_) return;
  run_->dropped = true;
  if (run_->worker.joinable()) run_->worker.join();
}

bool BlockingStep::Running() const { return run_ && !run_->finished; }

bool BlockingStep::Start(Page& page, const std::string& textControl, const std::string& waitingText,
                         std::function<int()> work, std::function<void(int result)> done) {
  if (Running()) return false;
  if (run_ && run_->worker.joinable()) run_->worker.join();
  page.SetLocked(true);
  if (Control* text = page.Find(textControl)) {
    text->SetText(waitingText);
    text->Update();
  }
  auto run = std::make_shared<Run>();
  run_ = run;
  auto finish = [run, &page, done = std::move(done)] {
    if (run->dropped) return;
    run->worker.join();
    run->finished = true;
    page.SetLocked(false);
    if (done) done(run->result);
  };
  run->worker = std::thread(
      [run, &notify = notify_, work = std::move(work), finish = std::move(finish)]() mutable {
        run->result = work ? work() : 0;
        notify.PostCall(std::move(finish));
      });
  return true;
}

}  // namespace stow::ui
