#include "ui/qt/QtHost.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QWidget>

#include "support/Log.h"
#include "ui/qt/MessageBoxEx.h"
#include "ui/qt/QtControls.h"
#include "ui/qt/ResultDialog.h"
#include "ui/qt/Scale.h"
#include "ui/qt/Texts.h"

namespace stow::ui::qt {
namespace {

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QtPage::QtPage(QWidget* page, EventSender identity) : page_(page), identity_(identity) {
  // Every button of the page is a command, every combo box choice a selection change.
  for (auto* button : page->findChildren<QAbstractButton*>()) {
    const std::string name = button->objectName().toStdString();
    QObject::connect(button, &QAbstractButton::clicked, &context_,
                     [this, name] { DeliverCommand(name); });
  }
  for (auto* combo : page->findChildren<QComboBox*>()) {
    const std::string name = combo->objectName().toStdString();
    QObject::connect(combo, &QComboBox::activated, &context_,
                     [this, name] { DeliverSelectionChanged(name); });
  }
}

QtPage::~QtPage() = default;

std::string QtPage::Name() const {
  return page_ ? page_->objectName().toStdString() : std::string();
}

Control* QtPage::Find(std::string_view name) {
  if (const auto found = controls_.find(name); found != controls_.end()) return found->second.get();
  QWidget* widget = page_ ? page_->findChild<QWidget*>(
                                QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())))
                          : nullptr;
  if (widget == nullptr) {
    LogLess("no control named %.*s in %s", static_cast<int>(name.size()), name.data(),
            Name().c_str());
    return nullptr;
  }
  auto control = MakeControl(widget);
  Control* result = control.get();
  controls_.emplace(std::string(name), std::move(control));
  return result;
}

void QtPage::SetLocked(bool locked) {
  locked_ = locked;
  // Disabling the page takes every input; the controls keep their own state.
  if (page_) page_->setEnabled(!locked);
}

void QtPage::StartTimer(int id, int periodMs) {
  auto& timer = timers_[id];
  if (!timer) {
    timer = std::make_unique<QTimer>();
    QObject::connect(timer.get(), &QTimer::timeout, &context_, [this, id] { DeliverTimer(id); });
  }
  timer->start(periodMs);
}

void QtPage::StopTimer(int id) {
  if (const auto found = timers_.find(id); found != timers_.end()) found->second->stop();
}

bool QtPage::IsTimerRunning(int id) const {
  const auto found = timers_.find(id);
  return found != timers_.end() && found->second->isActive();
}

QtHost::QtHost(QWidget* window)
    : window_(window), notify_([this] {
        // Any thread: the UI thread delivers what is queued at its next turn.
        // By name, so that no functor is handed across threads.
        QMetaObject::invokeMethod(this, "DeliverQueued", Qt::QueuedConnection);
      }) {
  clock_.start();
}

QtHost::~QtHost() = default;

void QtHost::DeliverQueued() { notify_.Deliver(); }

QtPage& QtHost::AddPage(QWidget* page, EventSender identity) {
  pages_.push_back(std::make_unique<QtPage>(page, identity));
  return *pages_.back();
}

Page* QtHost::FindPage(std::string_view name) {
  for (auto& page : pages_) {
    if (page->Name() == name) return page.get();
  }
  return nullptr;
}

int QtHost::ShowMessageBox(const MessageRequest& request) {
  LogDebug("message %s", request.id.c_str());
  return qt::ShowMessageBox(FromUtf8(request.text), FromUtf8(request.caption), request.type,
                            WindowScale(window_), window_);
}

int QtHost::ShowResultDialog(const ResultRequest& request) {
  return qt::ShowResultDialog(FromUtf8(request.text), FromUtf8(request.caption),
                              WindowScale(window_), FromUtf8(request.imageSkin), window_);
}

std::optional<std::string> QtHost::ChooseSaveFile(const SaveFileRequest& request) {
  const QString suffix = FromUtf8(request.suffix);
  const QString filter = suffix.isEmpty() ? QString() : QStringLiteral("*.%1").arg(suffix);
  QString path = QFileDialog::getSaveFileName(
      window_, {}, QDir::home().filePath(FromUtf8(request.defaultName)), filter);
  if (path.isEmpty()) return std::nullopt;
  if (!suffix.isEmpty() && !path.endsWith(QLatin1Char('.') + suffix))
    path += QLatin1Char('.') + suffix;
  return path.toStdString();
}

std::optional<std::string> QtHost::ChooseOpenFile(const OpenFileRequest& request) {
  const QString suffix = FromUtf8(request.suffix);
  const QString filter = suffix.isEmpty() ? QString() : QStringLiteral("*.%1").arg(suffix);
  const QString path = QFileDialog::getOpenFileName(window_, {}, QDir::homePath(), filter);
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

uint32_t QtHost::NowSeconds() const { return static_cast<uint32_t>(clock_.elapsed() / 1000); }

}  // namespace stow::ui::qt
