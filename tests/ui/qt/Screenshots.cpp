// Pictures of the window for the documentation: with STOWLINE_SCREENSHOTS set
// to a folder, the main window's pages in English and in Chinese, the message
// box, the result dialogs and the about dialog are saved there as PNG files.
#include <gtest/gtest.h>

#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>

#include "ui/qt/DlgAbout.h"
#include "ui/qt/DlgAnimate.h"
#include "ui/qt/Languages.h"
#include "ui/qt/MainDlg.h"
#include "ui/qt/Menus.h"
#include "ui/qt/MessageBoxEx.h"
#include "ui/qt/MessageRules.h"
#include "ui/qt/ResultDialog.h"
#include "ui/qt/TabMain.h"

namespace stow::ui::qt {
namespace {

discovery::PartitionList SampleVolumes() {
  discovery::PartitionList list;
  auto add = [&](const char* device, const char* mount, const char* fs, uint64_t gib,
                 uint64_t freeGib, int disk, bool system) {
    discovery::PartitionInfo v;
    v.volumeName = device;
    v.mountPath = mount;
    v.fileSystemName = fs;
    v.totalBytes = gib << 30;
    v.totalFreeBytes = freeGib << 30;
    v.diskNumber = disk;
    v.systemVolume = system ? 1 : 0;
    list.push_back(v);
  };
  add("/dev/nvme0n1p2", "/", "ext4", 120, 64, 0, true);
  add("/dev/sda1", "/mnt/windows", "NTFS", 237, 101, 1, false);
  add("/dev/sda2", "/mnt/data", "NTFS", 694, 412, 1, false);
  add("/dev/sdb1", "", "NTFS", 931, 931, 2, false);
  return list;
}

void Save(QWidget& widget, const QString& folder, const QString& name) {
  widget.show();
  const QPixmap picture = widget.grab();
  EXPECT_FALSE(picture.isNull());
  EXPECT_TRUE(picture.save(QDir(folder).filePath(name + QStringLiteral(".png"))))
      << name.toStdString();
}

TEST(Screenshots, MainWindowDialogsInEnglishAndChinese) {
  const QString folder = qEnvironmentVariable("STOWLINE_SCREENSHOTS");
  if (folder.isEmpty()) GTEST_SKIP() << "STOWLINE_SCREENSHOTS names no folder";
  QDir().mkpath(folder);
  QTemporaryDir programDir;
  for (const auto& [command, suffix] :
       {std::pair{kCmdEnglish, "en"}, std::pair{kCmdChinese, "zh"}}) {
    CMainDlg window;
    CMainDlg::PageSetup setup;
    auto fill = [](discovery::PartitionList& list) { list = SampleVolumes(); };
    setup.volumes = {fill, fill};
    setup.destination.volumes = {fill, fill};
    window.HostPages(setup);
    window.Initialise(programDir.path(), false);
    window.OnCommand(command);
    window.ShowNow();
    const char* pages[] = {"copy", "backup", "restore"};
    for (int i = 0; i < 3; ++i) {
      window.Tabs()->SetCurSel(i);
      Save(
          window, folder,
          QStringLiteral("main-%1-%2").arg(QLatin1StringView(pages[i]), QLatin1StringView(suffix)));
    }
    SMessageBoxEx question(QStringLiteral("@string/noticeForceExit"),
                           QStringLiteral("@string/notice"), kMbOkCancel | kMbIconQuestion, 100,
                           &window);
    Save(question, folder, QStringLiteral("msgbox-question-%1").arg(QLatin1StringView(suffix)));
    SDlgAbout about(100, &window);
    Save(about, folder, QStringLiteral("about-%1").arg(QLatin1StringView(suffix)));
    SMyMessageBox success(QStringLiteral("@string/thankUse"),
                          QStringLiteral("@string/missionCompleted"), 100,
                          QString::fromLatin1(kSuccessImageSkin), &window);
    Save(success, folder, QStringLiteral("result-success-%1").arg(QLatin1StringView(suffix)));
  }
  Languages::Switch(0);
  SMessageBoxEx notice(QStringLiteral("@string/errorClusterSizeMismatch"),
                       QStringLiteral("@string/notice"), kMbOk | kMbIconExclamation, 100);
  Save(notice, folder, QStringLiteral("msgbox-exclamation-en"));
  SMyMessageBox failure(QStringLiteral("@string/sorryTry"), QStringLiteral("@string/taskFailed"),
                        100, QString::fromLatin1(kErrorImageSkin));
  Save(failure, folder, QStringLiteral("result-failure-en"));
  SDlgAnimate start;
  Save(start, folder, QStringLiteral("start-screen"));
}

}  // namespace
}  // namespace stow::ui::qt
