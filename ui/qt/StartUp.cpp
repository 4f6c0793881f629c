#include "ui/qt/StartUp.h"

#include <QApplication>
#include <QDir>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/BlockDevice.h"
#include "platform/System.h"
#include "support/Log.h"
#include "ui/qt/DlgAnimate.h"
#include "ui/qt/Languages.h"
#include "ui/qt/MainDlg.h"
#include "ui/qt/MessageBoxEx.h"
#include "ui/qt/MessageRules.h"
#include "ui/qt/Scale.h"
#include "ui/qt/SingleInstance.h"
#include "ui/qt/Skins.h"

namespace stow::ui::qt {
namespace {

// The log goes where STOWLINE_LOG names, else to the system's log folder, as
// for the command line; when it cannot be written the program says so once on
// standard error and goes on without it.
void OpenLog() {
  std::string file;
  if (const char* named = std::getenv("STOWLINE_LOG"); named != nullptr && *named != '\0') {
    file = named;
  } else {
    const std::string folder = platform::DefaultLogDirectory();
    if (const int error = platform::EnsureLogDirectory(folder); error != 0) {
      std::fprintf(stderr,
                   "stowline: warning: the log folder %s cannot be created (%s); going "
                   "on without a log (name a file with STOWLINE_LOG)\n",
                   folder.c_str(), platform::SystemErrorText(error).c_str());
      return;
    }
    file = folder + "/" + kLogFileName;
  }
  errno = 0;
  if (CLog::Instance().Configure(file, kLogBackupCount, kLogSizeLimit) == 0) {
    const int error = errno;
    std::fprintf(stderr,
                 "stowline: warning: the log %s cannot be written (%s); going on "
                 "without a log (name another with STOWLINE_LOG)\n",
                 file.c_str(), platform::SystemErrorText(error).c_str());
  }
}

}  // namespace

int RunWindowProgram(int argc, char** argv) {
  // The log object exists already (it reads its level on first use).
  platform::Initialise();
  // Relative paths of the program (winpe/winpe.iso, the rescue marker) refer to
  // the program's own folder.
  const QString programDirectory = QString::fromStdString(platform::ProgramDirectory());
  QDir::setCurrent(programDirectory);
  OpenLog();
  LogLess("stowline window starting");

  // The window scales itself by the table of screen DPIs (Scale.h); Qt's own
  // high-DPI scaling would scale it a second time.
  if (qEnvironmentVariableIsEmpty("QT_ENABLE_HIGHDPI_SCALING")) {
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
  }
  // Rendering, image decoding and translation need no plug-in libraries of the
  // program's own: Qt's platform plug-in draws the windows, its SVG module
  // draws the images and QTranslator reads the compiled-in languages. The
  // custom controls need no registration either: the forms name their classes.
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("stowline"));
  InitResources();
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(kDefaultFontDp);
  QApplication::setFont(font);
  app.setStyleSheet(StyleSheet());

  // English at every start; the language menu changes it until the end.
  if (!Languages::Switch(0)) LogLess("the English texts cannot be loaded; showing the sources");

  // After the resources and the language, so that the notice about a running
  // instance is the program's own message box in its own language.
  SingleInstance instance;
  if (!instance.Acquire()) {
    ShowMessageBox(QStringLiteral("@string/programRunning"), QStringLiteral("@string/notice"),
                   kMbOk, 100);
    LogLess("another instance runs: exiting");
    return 0;
  }

  // Every page reads and writes raw volumes: without the rights the user would
  // only meet failures later.
  if (!platform::HasAdministratorRights()) {
    ShowMessageBox(QStringLiteral("@string/needAdministrator"), QStringLiteral("@string/notice"),
                   kMbOk | kMbIconExclamation, 100);
    LogLess("started without administrator rights: exiting");
    return 1;
  }

  int status = 0;
  {
    CMainDlg window;
    window.HostPages({});
    window.Initialise(programDirectory);
    window.ApplyScreenScale();
    window.BeginShow();
    status = QApplication::exec();
  }
  LogLess("stowline window ended with %d", status);
  return status;
}

}  // namespace stow::ui::qt
