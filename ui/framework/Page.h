// One page of the window (the copy, backup or restore page) as its controller
// sees it: its controls by layout name, its timers, and the events the toolkit
// hands to the controller. A window implements it over the page's widget; the
// headless implementation serves the tests.
//
// Everything here runs on the UI thread. Worker threads reach a page only
// through the notify centre (NotifyCenter.h).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "ui/framework/EventThread.h"
#include "ui/framework/Controls.h"

namespace stow::ui {


// What a page's controller does with the page's own events; unset members
// ignore them.
struct PageHandlers {
  // A button (or another control) of the page was clicked.
  std::function<void(const std::string& control)> onCommand;
  // The selection of a combo box of the page changed.
  std::function<void(const std::string& control)> onSelectionChanged;
  // A timer of the page ticked.
  std::function<void(int timerId)> onTimer;
};

class Page {
 public:
  virtual ~Page() = default;

  // The page's name in the window layout ("page_backup").
  virtual std::string Name() const = 0;
  // The identity that worker events for this page carry as their sender;
  // never 0 (kNoSender).
  virtual EventSender Identity() const = 0;

  // The control of that name inside the page; nullptr when there is none (the
  // window logs the name that was not found).
  virtual Control* Find(std::string_view name) = 0;
  ComboBox* FindComboBox(std::string_view name);
  ListView* FindListView(std::string_view name);
  ProgressBar* FindProgressBar(std::string_view name);

  // A locked page takes no input at all, whatever its controls' own enabled
  // state, which unlocking restores.
  virtual void SetLocked(bool locked) = 0;
  virtual bool IsLocked() const = 0;

  // Starts (or restarts) timer `id` with a period of `periodMs`; its ticks
  // reach onTimer on the UI thread until StopTimer.
  virtual void StartTimer(int id, int periodMs) = 0;
  virtual void StopTimer(int id) = 0;
  virtual bool IsTimerRunning(int id) const = 0;

  void SetHandlers(PageHandlers handlers) { handlers_ = std::move(handlers); }

  // Called by the toolkit on the UI thread.
  void DeliverCommand(const std::string& control);
  void DeliverSelectionChanged(const std::string& control);
  void DeliverTimer(int timerId);

 private:
  PageHandlers handlers_;
};

// The one-second period of every page timer.
inline constexpr int kTimerPeriodMs = 1000;

}  // namespace stow::ui
