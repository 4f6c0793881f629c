#include "ui/qt/SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

#include "support/Log.h"
#include "ui/qt/Texts.h"

namespace stow::ui::qt {

SingleInstance::SingleInstance() : path_(LockPath()) {}
SingleInstance::~SingleInstance() = default;

QString SingleInstance::LockPath(const QString& runtimeFolder) {
  QString folder = runtimeFolder;
  if (folder.isEmpty()) folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (folder.isEmpty()) folder = QDir::tempPath();
  return QDir(folder).filePath(ResolveText(QStringLiteral("@string/programMutex")) +
                               QStringLiteral(".lock"));
}

bool SingleInstance::Acquire() {
  lock_ = std::make_unique<QLockFile>(path_);
  // Held for the whole run: never stale while its process lives.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) {
    LogDebug("single instance lock %s taken", path_.toUtf8().constData());
    return true;
  }
  if (lock_->error() == QLockFile::LockFailedError) {
    LogLess("another instance holds %s", path_.toUtf8().constData());
    lock_.reset();
    return false;
  }
  // A folder that cannot hold the lock must not keep the program from starting.
  LogLess("the single instance lock %s cannot be made; starting without it",
          path_.toUtf8().constData());
  lock_.reset();
  return true;
}

}  // namespace stow::ui::qt
