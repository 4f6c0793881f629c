// One running window per user: a lock file named after the string
// "programMutex" in the user's runtime folder ($XDG_RUNTIME_DIR; Qt falls back
// to a private folder under the temporary folder when it is unset). The lock
// is held until the process ends; a lock left by a process that no longer runs
// is taken over.
#pragma once

#include <QLockFile>
#include <QString>
#include <memory>

namespace stow::ui::qt {

class SingleInstance {
 public:
  SingleInstance();
  ~SingleInstance();

  // False when another running process holds the lock; true when this one now
  // holds it, or when no lock file can be made there (the log says so).
  bool Acquire();
  QString Path() const { return path_; }

  // Where the lock goes: `runtimeFolder` (empty: the user's runtime folder)
  // and the lock name.
  static QString LockPath(const QString& runtimeFolder = {});

 private:
  QString path_;
  std::unique_ptr<QLockFile> lock_;
};

}  // namespace stow::ui::qt
