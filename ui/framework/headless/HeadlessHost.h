// The window without a toolkit, for tests: pages whose controls a test reads
// and clicks, scripted dialogs, a clock the test advances to drive the page
// timers, and the notify centre pumped by the test.
//
// Dialogs: answers are queued per question id. Every dialog shown is recorded.
// A question (a box with more than one button) that comes with no answer
// queued fails the running test and is answered Cancel, so nothing goes on;
// a message with only OK needs no answer. Answers left unused when the host is
// destroyed fail the test too: the question they were meant for never came.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ui/framework/UiHost.h"
#include "ui/framework/headless/HeadlessControls.h"

namespace stow::ui::headless {

class HeadlessHost;

class HeadlessPage final : public Page {
 public:
  HeadlessPage(HeadlessHost& host, std::string name, EventSender identity);

  std::string Name() const override { return name_; }
  EventSender Identity() const override { return identity_; }
  Control* Find(std::string_view name) override;
  void SetLocked(bool locked) override {
    if (locked && !locked_) ++timesLocked_;
    locked_ = locked;
  }
  bool IsLocked() const override { return locked_; }
  // How often the page was locked so far.
  int TimesLocked() const { return timesLocked_; }
  void StartTimer(int id, int periodMs) override;
  void StopTimer(int id) override;
  bool IsTimerRunning(int id) const override;

  // Building the page as its layout would.
  HeadlessControl& AddControl(const std::string& name);
  HeadlessComboBox& AddComboBox(const std::string& name);
  HeadlessListView& AddListView(const std::string& name);
  HeadlessProgressBar& AddProgressBar(const std::string& name);

  // Reading it: the control of that name; a missing one fails the test.
  HeadlessControl& Get(const std::string& name);
  HeadlessComboBox& GetComboBox(const std::string& name);
  HeadlessListView& GetListView(const std::string& name);
  HeadlessProgressBar& GetProgressBar(const std::string& name);

  // Acting as the user. Each fails (with the reason) when the user could not
  // do it: the control is missing, hidden or disabled, or the page is locked.
  testing::AssertionResult Click(const std::string& control);
  testing::AssertionResult TypeText(const std::string& control, const std::string& text);
  testing::AssertionResult ChooseItem(const std::string& comboBox, int index);
  testing::AssertionResult ChooseRow(const std::string& listView, int row);

 private:
  testing::AssertionResult Usable(const std::string& control) const;

  HeadlessHost& host_;
  std::string name_;
  EventSender identity_;
  bool locked_ = false;
  int timesLocked_ = 0;
  std::map<std::string, std::unique_ptr<HeadlessControl>, std::less<>> controls_;
};

// One dialog that was shown.
struct ShownDialog {
  bool resultDialog = false;  // ShowResultDialog, else ShowMessageBox
  std::string id;             // the question's id (empty for a result dialog)
  std::string text;
  std::string caption;
  int type = 0;           // the message box type
  std::string imageSkin;  // the result dialog's picture
  int result = 0;         // what it returned
};

class HeadlessHost final : public UiHost {
 public:
  HeadlessHost();
  ~HeadlessHost() override;

  // A page with the next identity (1, 2, 3 ...).
  HeadlessPage& AddPage(const std::string& name);
  HeadlessPage& GetPage(const std::string& name);

  Page* FindPage(std::string_view name) override;
  int ShowMessageBox(const MessageRequest& request) override;
  int ShowResultDialog(const ResultRequest& request) override;
  std::optional<std::string> ChooseSaveFile(const SaveFileRequest& request) override;
  std::optional<std::string> ChooseOpenFile(const OpenFileRequest& request) override;
  uint32_t NowSeconds() const override;
  NotifyCenter& Notify() override { return notify_; }

  // Dialogs.
  void QueueAnswer(const std::string& questionId, int result);
  // The save dialog's next outcomes; nothing: cancelled. None queued: cancelled.
  void QueueSaveFile(std::optional<std::string> path);
  // The open dialog's next outcomes, the same way.
  void QueueOpenFile(std::optional<std::string> path);
  const std::vector<ShownDialog>& Shown() const { return shown_; }
  // The ids of the message boxes shown, in order (result dialogs as "result").
  std::vector<std::string> ShownIds() const;
  const std::vector<SaveFileRequest>& SaveRequests() const { return saveRequests_; }
  const std::vector<OpenFileRequest>& OpenRequests() const { return openRequests_; }
  void ClearShown() { shown_.clear(); }
  // Called with each dialog as it is shown, before it returns (what a user
  // might do on the machine while a question waits).
  void OnDialog(std::function<void(const ShownDialog&)> hook) { dialogHook_ = std::move(hook); }

  // The clock: advances by `ms`, delivering every timer tick that falls due on
  // the way, in time order, each at its own moment.
  void Advance(std::chrono::milliseconds ms);
  uint64_t NowMs() const { return nowMs_; }

  // Delivers what the notify centre holds; how many items.
  size_t Pump() { return notify_.Deliver(); }
  // Pumps until `done` holds, or fails the test after `timeout`.
  testing::AssertionResult PumpUntil(const std::function<bool()>& done,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  friend class HeadlessPage;
  struct Timer {
    HeadlessPage* page;
    int id;
    uint64_t periodMs;
    uint64_t dueMs;
    uint64_t order;  // ties fall due in the order the timers started
  };
  void StartTimer(HeadlessPage& page, int id, int periodMs);
  void StopTimer(const HeadlessPage& page, int id);
  bool IsTimerRunning(const HeadlessPage& page, int id) const;
  ShownDialog& Record(ShownDialog dialog);

  NotifyCenter notify_;
  std::vector<std::unique_ptr<HeadlessPage>> pages_;
  std::map<std::string, std::deque<int>> answers_;
  std::deque<std::optional<std::string>> saveFiles_;
  std::vector<SaveFileRequest> saveRequests_;
  std::deque<std::optional<std::string>> openFiles_;
  std::vector<OpenFileRequest> openRequests_;
  std::vector<ShownDialog> shown_;
  std::function<void(const ShownDialog&)> dialogHook_;
  std::vector<Timer> timers_;
  uint64_t nowMs_;
  uint64_t timerOrder_ = 0;
};

}  // namespace stow::ui::headless
