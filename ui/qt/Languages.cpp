#include "ui/qt/Languages.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTranslator>
#include <memory>

#include "support/Log.h"

namespace stow::ui::qt {
namespace {

std::unique_ptr<QTranslator>& Installed() {
  static std::unique_ptr<QTranslator> translator;
  return translator;
}

int& CurrentIndex() {
  static int index = -1;
  return index;
}

}  // namespace

const QStringList& Languages::Names() {
  static const QStringList names = {QStringLiteral("lang_English"), QStringLiteral("lang_Chinese")};
  return names;
}

bool Languages::Switch(int index) {
  if (index < 0 || index >= Names().size()) return false;
  auto translator = std::make_unique<QTranslator>();
  const QString path = QStringLiteral(":/lang/%1.qm").arg(Names()[index]);
  if (!translator->load(path)) {
    LogLess("language %s cannot be loaded", Names()[index].toUtf8().constData());
    return false;
  }
  if (Installed()) QCoreApplication::removeTranslator(Installed().get());
  QCoreApplication::installTranslator(translator.get());
  Installed() = std::move(translator);
  // Qt posts the language change to the windows; deliver it now, so that every
  // text reads in the new language when the switch returns.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::LanguageChange);
  CurrentIndex() = index;
  LogDebug("language %s installed", Names()[index].toUtf8().constData());
  return true;
}

int Languages::Current() { return CurrentIndex(); }

}  // namespace stow::ui::qt
