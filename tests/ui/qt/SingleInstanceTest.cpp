// One running window per user: a second start says so in the program's own
// message box and exits 0, leaving the first running.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "platform/System.h"
#include "ui/qt/SingleInstance.h"

namespace stow::ui::qt {
namespace {

QProcessEnvironment WindowEnvironment(const QTemporaryDir& runtime) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
  env.insert(QStringLiteral("STOWLINE_LOG"), runtime.filePath(QStringLiteral("window.log")));
  return env;
}

TEST(SingleInstance, ASecondStartShowsProgramIsRunningAndExitsZero) {
  if (!platform::HasAdministratorRights()) GTEST_SKIP() << "the window runs only as root";
  QTemporaryDir runtime;
  ASSERT_TRUE(runtime.isValid());
  const QString lock = SingleInstance::LockPath(runtime.path());
  EXPECT_TRUE(lock.endsWith(QStringLiteral("/Velmoras_mutex_name_190102_1633.lock")));

  QProcess first;
  first.setProcessEnvironment(WindowEnvironment(runtime));
  first.start(QStringLiteral(STOWLINE_WINDOW_PATH), {});
  ASSERT_TRUE(first.waitForStarted());
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(lock); }, 30000))
      << "the first window never took its lock";

  QProcess second;
  QProcessEnvironment env = WindowEnvironment(runtime);
  env.insert(QStringLiteral("STOWLINE_UNATTENDED"), QStringLiteral("1"));
  second.setProcessEnvironment(env);
  second.start(QStringLiteral(STOWLINE_WINDOW_PATH), {});
  ASSERT_TRUE(second.waitForFinished(60000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_TRUE(second.readAllStandardError().contains("Tips: Program is running."));
  EXPECT_EQ(first.state(), QProcess::Running);

  first.kill();
  ASSERT_TRUE(first.waitForFinished(30000));
  // The lock of a process that no longer runs is taken over.
  SingleInstance::LockPath(runtime.path());
  QLockFile after(lock);
  after.setStaleLockTime(0);
  EXPECT_TRUE(after.tryLock(0));
}

TEST(SingleInstance, TheLockIsHeldAgainstASecondHolder) {
  QTemporaryDir runtime;
  const QByteArray previous = qgetenv("XDG_RUNTIME_DIR");
  qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  {
    SingleInstance one;
    EXPECT_EQ(one.Path(), SingleInstance::LockPath(runtime.path()));
    EXPECT_TRUE(one.Acquire());
    QLockFile other(one.Path());
    EXPECT_FALSE(other.tryLock(0));
  }
  if (previous.isNull()) {
    qunsetenv("XDG_RUNTIME_DIR");
  } else {
    qputenv("XDG_RUNTIME_DIR", previous);
  }
}

}  // namespace
}  // namespace stow::ui::qt
