#include "ui/qt/MainDlg.h"

#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGraphicsDropShadowEffect>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QUrl>
#include <QWindow>

#include "support/Log.h"
#include "ui/qt/DlgAbout.h"
#include "ui/qt/DlgAnimate.h"
#include "ui/qt/Languages.h"
#include "ui/qt/Menus.h"
#include "ui/qt/MessageBoxEx.h"
#include "ui/qt/MessageRules.h"
#include "ui/qt/QtHost.h"
#include "ui/qt/Scale.h"
#include "ui/qt/Skins.h"
#include "ui/qt/TabMain.h"
#include "ui/qt/Texts.h"
#include "ui_XML_MAINWND.h"
#include "ui_page_backup.h"
#include "ui_page_copy.h"
#include "ui_page_restore.h"

namespace stow::ui::qt {
namespace {

constexpr const char* kContext = "dlg_main";

CMainDlg*& TheMainWindow() {
  static CMainDlg* window = nullptr;
  return window;
}

QString Notice() { return QStringLiteral("@string/notice"); }

}  // namespace

CMainDlg* MainWindow() { return TheMainWindow(); }

CMainDlg::CMainDlg(QWidget* parent)
    : QWidget(parent),
      ui_(std::make_unique<Ui::XML_MAINWND>()),
      copyUi_(std::make_unique<Ui::page_copy>()),
      backupUi_(std::make_unique<Ui::page_backup>()),
      restoreUi_(std::make_unique<Ui::page_restore>()) {
  ui_->setupUi(this);
  setObjectName(QStringLiteral("XML_MAINWND"));
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  setAttribute(Qt::WA_TranslucentBackground);
  setWindowIcon(QIcon(SkinPixmap(QStringLiteral("skin_logo"), QSize(32, 32))));

  auto* shadow = new QGraphicsDropShadowEffect(ui_->frame);
  shadow->setBlurRadius(10);
  shadow->setOffset(0, 0);
  shadow->setColor(QColor(0, 0, 0, 90));
  ui_->frame->setGraphicsEffect(shadow);
  ui_->caption_logo->setPixmap(SkinPixmap(QStringLiteral("skin_logo"), QSize(16, 16), 2.0));
  ui_->caption_logo->setScaledContents(true);

  auto* copy = new QWidget;
  copyUi_->setupUi(copy);
  auto* backup = new QWidget;
  backupUi_->setupUi(backup);
  auto* restore = new QWidget;
  restoreUi_->setupUi(restore);
  ui_->tab_main->AddPage(copy, QStringLiteral("Copy"), 0);
  ui_->tab_main->AddPage(backup, QStringLiteral("Backup"), 1);
  ui_->tab_main->AddPage(restore, QStringLiteral("Restore"), 2);
  // Worker events name their page by these identities.
  host_ = std::make_unique<QtHost>(this);
  host_->AddPage(copy, 1);
  host_->AddPage(backup, 2);
  host_->AddPage(restore, 3);

  AdoptTexts(this, kContext);
  ConnectButtons();
  closeTimer_.setInterval(kCloseCheckMs);
  connect(&closeTimer_, &QTimer::timeout, this, &CMainDlg::CheckCloseTimer);
  showTimer_.setSingleShot(true);
  // The show timer's tick, then the little longer the start screen stays: one
  // wait of both, after which the window shows itself.
  showTimer_.setInterval(kShowTimerMs + kShowWaitMs);
  connect(&showTimer_, &QTimer::timeout, this, &CMainDlg::ShowNow);
  ApplyScale(this, 100);
  FollowScreenDpi(this);
}

CMainDlg::~CMainDlg() {
  for (const int token : eventTokens_) host_->Notify().Unregister(token);
  restore_.reset();
  backup_.reset();
  copy_.reset();
  if (TheMainWindow() == this) TheMainWindow() = nullptr;
  if (animate_) animate_->deleteLater();
}

void CMainDlg::HostPages(const PageSetup& setup) {
  copy_ = std::make_unique<CCopyHandler>(*host_, *setup.phase, *setup.state, setup.destination);
  backup_ = std::make_unique<CBackupHandler>(*host_, *setup.phase, *setup.state, setup.volumes);
  restore_ =
      std::make_unique<CRestoreHandler>(*host_, *setup.phase, *setup.state, setup.destination);
  if (!copy_->Init() || !backup_->Init() || !restore_->Init()) {
    LogLess("a page of the window is missing: its controller does nothing");
  }
  NotifyCenter& notify = host_->Notify();
  eventTokens_.push_back(
      notify.Register([this](const EventThread& e) { return copy_->OnEvent(e); }));
  eventTokens_.push_back(
      notify.Register([this](const EventThread& e) { return backup_->OnEvent(e); }));
  eventTokens_.push_back(
      notify.Register([this](const EventThread& e) { return restore_->OnEvent(e); }));
  TaskPhase* phase = setup.phase;
  engine::TaskState* state = setup.state;
  task_ = {[phase] { return static_cast<int>(phase->Get()); }, [state] { state->StopTask(); }};
}

void CMainDlg::ConnectButtons() {
  connect(ui_->btn_logo, &QAbstractButton::clicked, this, [this] { OpenUrl("home_url"); });
  connect(ui_->btn_close, &QAbstractButton::clicked, this, &QWidget::close);
  connect(ui_->btn_min, &QAbstractButton::clicked, this, &QWidget::showMinimized);
  connect(ui_->btn_makepe, &QAbstractButton::clicked, this, &CMainDlg::MakePe);
  connect(ui_->btn_menu, &QAbstractButton::clicked, this, [this] {
    std::unique_ptr<QMenu> menu(BuildLanguageMenu(this, languageCommand_, Scale()));
    if (const int command = CommandOf(menu->exec(QCursor::pos())); command != 0) OnCommand(command);
  });
  connect(ui_->btn_menu2, &QAbstractButton::clicked, this, [this] {
    std::unique_ptr<QMenu> menu(BuildCommonMenu(this, Scale()));
    const QRect button(ui_->btn_menu2->mapTo(this, QPoint(0, 0)), ui_->btn_menu2->size());
    const QPoint at = mapToGlobal(QPoint(button.left() - Dp(this, 15), button.bottom() + 1));
    if (const int command = CommandOf(menu->exec(at)); command != 0) OnCommand(command);
  });
}

bool CMainDlg::Initialise(const QString& programDirectory, bool startScreen) {
  TheMainWindow() = this;
  programDirectory_ = programDirectory;
  initialised_ = true;
  rescueMedia_ =
      QFileInfo::exists(QDir(programDirectory).filePath(QLatin1StringView(kRescueMarkerName)));
  if (rescueMedia_) {
    // The rescue media cannot build itself again.
    ui_->btn_makepe->setVisible(false);
    ui_->btn_makepe->setEnabled(false);
    LogDebug("running from the rescue media: no Make Boot Disk button");
    return false;
  }
  if (!startScreen) return false;
  animate_ = new SDlgAnimate(100);
  animate_->show();
  return true;
}

void CMainDlg::BeginShow() { showTimer_.start(); }

void CMainDlg::ShowNow() {
  showTimer_.stop();
  if (animate_) {
    animate_->close();
    animate_->deleteLater();
  }
  show();
  raise();
  activateWindow();
}

void CMainDlg::ApplyScreenScale() {
  ApplyScale(this, ScreenScale(this));
  if (const QScreen* screen = this->screen(); screen != nullptr) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

int CMainDlg::Scale() const { return WindowScale(this); }

TabMain* CMainDlg::Tabs() const { return ui_->tab_main; }

QWidget* CMainDlg::FindPage(const QString& name) const {
  for (int i = 0; i < ui_->tab_main->Count(); ++i) {
    if (ui_->tab_main->Page(i)->objectName() == name) return ui_->tab_main->Page(i);
  }
  return nullptr;
}

void CMainDlg::OnCommand(int command) {
  switch (command) {
    case kCmdEnglish:
    case kCmdChinese:
      SwitchLanguage(command);
      break;
    case kCmdExit:
      close();
      break;
    case kCmdHome:
      OpenUrl("home_url");
      break;
    case kCmdHelp:
      OpenUrl("help_url");
      break;
    case kCmdAbout: {
      SDlgAbout about(Scale(), this);
      about.exec();
      break;
    }
    default:
      break;
  }
}

void CMainDlg::SwitchLanguage(int command) {
  languageCommand_ = command;
  // Installing the language makes every window show its texts again.
  if (!Languages::Switch(command - kCmdEnglish)) {
    LogLess("language command %d: the language cannot be loaded", command);
  }
}

void CMainDlg::OpenUrl(const char* id) {
  const QString url = ResolveText(QStringLiteral("@string/") + QLatin1StringView(id));
  if (!QDesktopServices::openUrl(QUrl(url)))
    LogLess("%s cannot be opened", url.toUtf8().constData());
}

void CMainDlg::MakePe() {
  const QString iso = QDir(programDirectory_).filePath(QStringLiteral("winpe/winpe.iso"));
  if (!QFileInfo::exists(iso)) {
    ShowMessageBox(QStringLiteral("@string/makePeUnavailable"), Notice(), kMbOk, Scale(), this);
    return;
  }
  QString text = ResolveText(QStringLiteral("@string/winpeExist"));
  text.replace(QLatin1StringView("%s"), QDir::toNativeSeparators(iso));
  ShowMessageBox(text, Notice(), kMbOk, Scale(), this);
  const QString folder = QDir(programDirectory_).filePath(QStringLiteral("winpe"));
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder))) {
    LogLess("the folder %s cannot be opened", folder.toUtf8().constData());
  }
}

void CMainDlg::closeEvent(QCloseEvent* event) {
  const int phase = task_.phase ? task_.phase() : 0;
  if (phase == 0) {
    event->accept();
    return;
  }
  event->ignore();
  if (closeTimer_.isActive()) return;  // already stopping
  const int answer = ShowMessageBox(QStringLiteral("@string/noticeForceExit"), Notice(),
                                    kMbOkCancel, Scale(), this);
  if (answer != kIdOk) return;
  LogLess("close requested while task phase %d runs: stopping the task", phase);
  if (task_.stop) task_.stop();
  closeTimer_.start();
}

void CMainDlg::CheckCloseTimer() {
  if (task_.phase && task_.phase() != 0) return;
  closeTimer_.stop();
  close();
}

void CMainDlg::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) Retranslate(this);
  QWidget::changeEvent(event);
}

void CMainDlg::mousePressEvent(QMouseEvent* event) {
  // The caption bar and the left column's top move the window.
  if (event->button() == Qt::LeftButton && event->position().y() < Dp(this, 55) &&
      windowHandle() != nullptr) {
    windowHandle()->startSystemMove();
  }
  QWidget::mousePressEvent(event);
}

void CMainDlg::paintEvent(QPaintEvent* /*event*/) {
  // The frame's own widgets paint everything; the margin stays transparent.
}

void CMainDlg::OnDpiChanged(int dpiX, int dpiY) { ApplyDpi(this, dpiX, dpiY); }

}  // namespace stow::ui::qt
