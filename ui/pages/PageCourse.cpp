#include "ui/pages/PageCourse.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <utility>

namespace stow::ui {

// What the course's thread and the calls it posts share with the page: whether
// the page is still there, and the answer to the question that waits.
struct PageCourse::Link {
  std::mutex lock;
  std::condition_variable answered;
  bool gone = false;       // the page dropped the course
  bool stop = false;       // the user asked to stop
  int question = 0;        // the question that waits (numbered), 0: none
  bool answer = false;
  int answeredQuestion = 0;
};

PageCourse::PageCourse(UiHost& host, std::unique_ptr<tasks::Course> course, Handlers handlers)
    : host_(host),
      course_(std::move(course)),
      handlers_(std::move(handlers)),
      link_(std::make_shared<Link>()) {}

PageCourse::~PageCourse() {
  {
    std::lock_guard<std::mutex> guard(link_->lock);
    link_->gone = true;
    link_->stop = true;
  }
  link_->answered.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PageCourse::Start() {
  running_ = true;
  thread_ = std::thread([this] {
    tasks::CourseEnd end = course_->Run(*this);
    OnUiThread([end = std::move(end)](PageCourse& page) {
      page.running_ = false;
      // The page may drop the course from its handler: a copy outlives it.
      const auto ended = page.handlers_.ended;
      if (ended) ended(end);
    });
  });
}

void PageCourse::Stop() {
  std::lock_guard<std::mutex> guard(link_->lock);
  link_->stop = true;
}

tasks::StepProgress PageCourse::LastProgress() const {
  std::lock_guard<std::mutex> guard(lock_);
  return last_;
}

std::string PageCourse::CurrentStep() const {
  std::lock_guard<std::mutex> guard(lock_);
  return step_;
}

bool PageCourse::Running() const { return running_; }

void PageCourse::OnUiThread(std::function<void(PageCourse&)> call) {
  std::shared_ptr<Link> link = link_;
  host_.Notify().PostCall([this, link, call = std::move(call)] {
    {
      std::lock_guard<std::mutex> guard(link->lock);
      if (link->gone) return;
    }
    call(*this);
  });
}

bool PageCourse::Ask(const std::string& id, const std::string& text) {
  int question = 0;
  {
    std::lock_guard<std::mutex> guard(link_->lock);
    if (link_->gone) return false;
    question = ++link_->question;
  }
  std::shared_ptr<Link> link = link_;
  OnUiThread([link, question, id, text](PageCourse& page) {
    const bool yes = AskOkCancel(page.host_, id, text);
    {
      std::lock_guard<std::mutex> guard(link->lock);
      link->answer = yes;
      link->answeredQuestion = question;
    }
    link->answered.notify_all();
  });
  std::unique_lock<std::mutex> guard(link_->lock);
  link_->answered.wait(guard,
                       [&] { return link_->gone || link_->answeredQuestion == question; });
  return !link_->gone && link_->answer;
}

void PageCourse::Tell(const std::string& id, const std::string& text) {
  OnUiThread([id, text](PageCourse& page) { ShowNotice(page.host_, id, text); });
}

void PageCourse::StepStarted(const tasks::Step& step) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    step_ = step.name;
    last_ = {};
  }
  OnUiThread([name = step.name](PageCourse& page) {
    if (page.handlers_.stepStarted) page.handlers_.stepStarted(name);
  });
}

bool PageCourse::Progress(const tasks::StepProgress& progress) {
  bool newWaiting = false;
  std::string step;
  {
    std::lock_guard<std::mutex> guard(lock_);
    newWaiting = !progress.figures && !progress.waiting.empty() && progress.waiting != last_.waiting;
    last_ = progress;
    step = step_;
  }
  if (newWaiting) {
    OnUiThread([step, text = progress.waiting](PageCourse& page) {
      if (page.handlers_.waiting) page.handlers_.waiting(step, text);
    });
  }
  std::lock_guard<std::mutex> guard(link_->lock);
  return !link_->stop;
}

}  // namespace stow::ui
