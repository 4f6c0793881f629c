// A task's course run for a page: on a thread of its own, so that the window
// stays alive while the steps check, format, move data and repair. The page
// only shows and answers: a question or a warning of a step is handed to the
// UI thread through the notify centre and the course's thread waits for the
// answer; the start of each step, a new waiting text and the end reach the
// page on the UI thread too; the engine's figures are kept for the page's
// one-second timer to read.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tasks/Course.h"
#include "ui/framework/UiHost.h"

namespace stow::ui {

class PageCourse final : public tasks::TaskFrontEnd {
 public:
  // Called on the UI thread.
  struct Handlers {
    std::function<void(const std::string& step)> stepStarted;
    // A step that cannot count shows a new waiting text.
    std::function<void(const std::string& step, const std::string& text)> waiting;
    std::function<void(const tasks::CourseEnd& end)> ended;
  };

  PageCourse(UiHost& host, std::unique_ptr<tasks::Course> course, Handlers handlers);
  // Answers no to a question still waiting, stops the task and waits for
  // the course's thread; what it would still post to the UI thread is dropped.
  ~PageCourse() override;
  PageCourse(const PageCourse&) = delete;
  PageCourse& operator=(const PageCourse&) = delete;

  // UI thread: runs the course.
  void Start();
  // Any thread: the next progress report answers stop.
  void Stop();
  // The last progress reported, and the step that reported it.
  tasks::StepProgress LastProgress() const;
  std::string CurrentStep() const;
  // The course has not yet ended (or its end not yet reached the page).
  bool Running() const;
  const tasks::Course& Course() const { return *course_; }

  // The course's thread.
  bool Ask(const std::string& id, const std::string& text) override;
  void Tell(const std::string& id, const std::string& text) override;
  void StepStarted(const tasks::Step& step) override;
  bool Progress(const tasks::StepProgress& progress) override;

 private:
  struct Link;
  // Runs `call` on the UI thread unless the page has gone meanwhile.
  void OnUiThread(std::function<void(PageCourse&)> call);

  UiHost& host_;
  std::unique_ptr<tasks::Course> course_;
  Handlers handlers_;
  std::shared_ptr<Link> link_;
  mutable std::mutex lock_;
  tasks::StepProgress last_;
  std::string step_;
  std::thread thread_;
  bool running_ = false;  // UI thread
};

}  // namespace stow::ui
