// stowline-screenshots: pictures of the window for the documentation. Under
// Qt's offscreen platform, with the program's resources, style and fonts, it
// saves the main window's pages in English and in Chinese, the message box,
// the result dialogs, the about dialog and the start screen as PNG files in
// the folder it is given (docs/screenshots when none is), over the pictures
// of the same name. Exits 1 when a picture could not be saved.
#include <QApplication>
#include <QDir>
#include <QFont>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>
#include <utility>

#include "ui/qt/DlgAbout.h"
#include "ui/qt/DlgAnimate.h"
#include "ui/qt/Languages.h"
#include "ui/qt/MainDlg.h"
#include "ui/qt/Menus.h"
#include "ui/qt/MessageBoxEx.h"
#include "ui/qt/MessageRules.h"
#include "ui/qt/ResultDialog.h"
#include "ui/qt/Scale.h"
#include "ui/qt/Skins.h"
#include "ui/qt/TabMain.h"

namespace stow::ui::qt {
namespace {

// The volumes the pages list: made up, so that every picture shows the same.
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

class Pictures {
 public:
  explicit Pictures(QString folder) : folder_(std::move(folder)) {}

  void Save(QWidget& widget, const QString& name) {
    widget.show();
    const QPixmap picture = widget.grab();
    const QString path = QDir(folder_).filePath(name + QStringLiteral(".png"));
    if (picture.isNull() || !picture.save(path)) {
      std::fprintf(stderr, "stowline-screenshots: %s could not be saved\n", qPrintable(path));
      failed_ = true;
      return;
    }
    std::printf("%s\n", qPrintable(path));
  }
  bool Failed() const { return failed_; }

 private:
  QString folder_;
  bool failed_ = false;
};

void TakeAll(Pictures& pictures) {
  QTemporaryDir programDir;
  for (const auto& [command, suffix] :
       {std::pair{kCmdEnglish, "en"}, std::pair{kCmdChinese, "zh"}}) {
    const QLatin1StringView language(suffix);
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
      pictures.Save(window,
                    QStringLiteral("main-%1-%2").arg(QLatin1StringView(pages[i]), language));
    }
    SMessageBoxEx question(QStringLiteral("@string/noticeForceExit"),
                           QStringLiteral("@string/notice"), kMbOkCancel | kMbIconQuestion, 100,
                           &window);
    pictures.Save(question, QStringLiteral("msgbox-question-%1").arg(language));
    SDlgAbout about(100, &window);
    pictures.Save(about, QStringLiteral("about-%1").arg(language));
    SMyMessageBox success(QStringLiteral("@string/thankUse"),
                          QStringLiteral("@string/missionCompleted"), 100,
                          QString::fromLatin1(kSuccessImageSkin), &window);
    pictures.Save(success, QStringLiteral("result-success-%1").arg(language));
  }
  Languages::Switch(0);
  SMessageBoxEx notice(QStringLiteral("@string/errorClusterSizeMismatch"),
                       QStringLiteral("@string/notice"), kMbOk | kMbIconExclamation, 100);
  pictures.Save(notice, QStringLiteral("msgbox-exclamation-en"));
  SMyMessageBox failure(QStringLiteral("@string/sorryTry"), QStringLiteral("@string/taskFailed"),
                        100, QString::fromLatin1(kErrorImageSkin));
  pictures.Save(failure, QStringLiteral("result-failure-en"));
  SDlgAnimate start;
  pictures.Save(start, QStringLiteral("start-screen"));
}

}  // namespace
}  // namespace stow::ui::qt

int main(int argc, char** argv) {
  using namespace stow::ui::qt;
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    std::fprintf(stderr, "usage: stowline-screenshots [FOLDER]   (default: docs/screenshots)\n");
    return 2;
  }
  const QString folder =
      argc == 2 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
  QApplication app(argc, argv);
  InitResources();
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(kDefaultFontDp);
  QApplication::setFont(font);
  app.setStyleSheet(StyleSheet());
  Languages::Switch(0);
  if (!QDir().mkpath(folder)) {
    std::fprintf(stderr, "stowline-screenshots: the folder %s cannot be made\n",
                 qPrintable(folder));
    return 1;
  }
  Pictures pictures(folder);
  TakeAll(pictures);
  return pictures.Failed() ? 1 : 0;
}
