// CMainDlg: the program's one top-level window ("XML_MAINWND"): the left
// column with the logo, its own caption bar (Make Boot Disk, menu, minimise,
// close), and the tab control with the copy, backup and restore pages. It
// switches the interface language, follows the screen's DPI, hides the Make
// Boot Disk button when it runs from the rescue media, shows the start screen
// while it gets ready, and refuses to close silently while a task runs.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "ui/pages/BackupHandler.h"
#include "ui/pages/CopyHandler.h"
#include "ui/pages/RestoreHandler.h"
#include "ui/qt/DlgAnimate.h"

namespace Ui {
class XML_MAINWND;
class page_copy;
class page_backup;
class page_restore;
}  // namespace Ui

namespace stow::ui::qt {

class QtHost;
class TabMain;

// Beside the program on the rescue media: the window then offers no Make Boot
// Disk button and shows no start screen.
inline constexpr const char* kRescueMarkerName = "stowline-rescue-media";

class CMainDlg : public QWidget {
  Q_OBJECT

 public:
  explicit CMainDlg(QWidget* parent = nullptr);
  ~CMainDlg() override;

  // What the close procedure reads and raises: the task phase (0 idle) and the
  // engine's stop flag.
  struct TaskControl {
    std::function<int()> phase;
    std::function<void()> stop;
  };
  void SetTaskControl(TaskControl control) { task_ = std::move(control); }

  // What the page controllers work with: the task phase and task state of the
  // process, and where the volumes come from.
  struct PageSetup {
    TaskPhase* phase = &ProcessTaskPhase();
    engine::TaskState* state = &engine::ProcessTaskState();
    VolumeSource volumes = VolumeSource::System();
    DestinationPageParts destination;
  };
  // Creates the copy, backup and restore controllers on their pages, hands the
  // worker events to them in that order, and closes only once their task phase
  // is idle (the stop raising the task state's flag).
  void HostPages(const PageSetup& setup);
  CCopyHandler* CopyPage() const { return copy_.get(); }
  CBackupHandler* BackupPage() const { return backup_.get(); }
  CRestoreHandler* RestorePage() const { return restore_.get(); }

  // Initialisation: `programDirectory` holds the program (and, on the rescue
  // media, its marker). True when the start screen is shown.
  bool Initialise(const QString& programDirectory, bool startScreen = true);
  // Shows the window after the start screen's time (1 s, then 1.2 s), closing it.
  void BeginShow();
  // Shows the window now.
  void ShowNow();
  // Takes the scale of the screen's DPI and centres the window on the screen.
  void ApplyScreenScale();

  // A menu command: 100, 101 switch the language, 168 closes, 200 and 201
  // open the home and help pages, 202 the about dialog.
  void OnCommand(int command);
  // The screen's DPI changed: the window takes its scale and keeps its size in dp.
  void OnDpiChanged(int dpiX, int dpiY);

  int Scale() const;
  int LanguageCommand() const { return languageCommand_; }
  bool RunsFromRescueMedia() const { return rescueMedia_; }
  TabMain* Tabs() const;
  // The page of that name ("page_copy"), nullptr when none.
  QWidget* FindPage(const QString& name) const;
  SDlgAnimate* StartScreen() const { return animate_; }
  // The window as the page controllers see it: its pages, dialogs and notify centre.
  QtHost& Host() const { return *host_; }
  // True while a confirmed close waits for the task phase to return to 0.
  bool WaitingToClose() const { return closeTimer_.isActive(); }

  static constexpr int kCloseCheckMs = 100;
  static constexpr int kShowTimerMs = 1000;
  static constexpr int kShowWaitMs = 1200;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void ConnectButtons();
  void SwitchLanguage(int command);
  void MakePe();
  void OpenUrl(const char* id);
  void CheckCloseTimer();

  std::unique_ptr<Ui::XML_MAINWND> ui_;
  std::unique_ptr<Ui::page_copy> copyUi_;
  std::unique_ptr<Ui::page_backup> backupUi_;
  std::unique_ptr<Ui::page_restore> restoreUi_;
  std::unique_ptr<QtHost> host_;
  // After the host: the controllers go first.
  std::unique_ptr<CCopyHandler> copy_;
  std::unique_ptr<CBackupHandler> backup_;
  std::unique_ptr<CRestoreHandler> restore_;
  std::vector<int> eventTokens_;
  TaskControl task_;
  int languageCommand_ = 100;
  bool initialised_ = false;
  bool rescueMedia_ = false;
  bool closing_ = false;
  QString programDirectory_;
  QPointer<SDlgAnimate> animate_;
  QTimer closeTimer_;
  QTimer showTimer_;
};

// The one main window, for the message boxes' owner and scale; nullptr before
// initialisation.
CMainDlg* MainWindow();

}  // namespace stow::ui::qt
