// The framework's window (ui/framework/UiHost.h, Page.h) on Qt: the pages of
// the main window with their controls found by layout name (findChild), their
// clicks and combo box choices handed to the page's controller, one-second
// QTimers, the modal dialogs, the file dialogs and the notify centre, whose
// events posted from any thread are delivered on the UI thread, in posting
// order, through a queued call into the event loop.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/framework/UiHost.h"

namespace stow::ui::qt {

class QtPage final : public Page {
 public:
  QtPage(QWidget* page, EventSender identity);
  ~QtPage() override;

  std::string Name() const override;
  EventSender Identity() const override { return identity_; }
  Control* Find(std::string_view name) override;
  void SetLocked(bool locked) override;
  bool IsLocked() const override { return locked_; }
  void StartTimer(int id, int periodMs) override;
  void StopTimer(int id) override;
  bool IsTimerRunning(int id) const override;

  QWidget* Widget() const { return page_; }

 private:
  QPointer<QWidget> page_;
  // The receiver of the page's signals: gone with the page's controller.
  QObject context_;
  EventSender identity_;
  bool locked_ = false;
  std::map<std::string, std::unique_ptr<Control>, std::less<>> controls_;
  std::map<int, std::unique_ptr<QTimer>> timers_;
};

class QtHost final : public QObject, public UiHost {
  Q_OBJECT

 public:
  // `window` owns the dialogs and gives them its scale.
  explicit QtHost(QWidget* window);
  ~QtHost() override;

  // Adds `page` (a page of the tab control) under its object name.
  QtPage& AddPage(QWidget* page, EventSender identity);

  Page* FindPage(std::string_view name) override;
  int ShowMessageBox(const MessageRequest& request) override;
  int ShowResultDialog(const ResultRequest& request) override;
  std::optional<std::string> ChooseSaveFile(const SaveFileRequest& request) override;
  std::optional<std::string> ChooseOpenFile(const OpenFileRequest& request) override;
  uint32_t NowSeconds() const override;
  NotifyCenter& Notify() override { return notify_; }

 private:
  // Delivers what the notify centre queued; posted by name from any thread.
  Q_INVOKABLE void DeliverQueued();

  QPointer<QWidget> window_;
  QElapsedTimer clock_;
  NotifyCenter notify_;
  std::vector<std::unique_ptr<QtPage>> pages_;
};

}  // namespace stow::ui::qt
