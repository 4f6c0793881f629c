// The Make Boot Disk button: without a built rescue image it says the builder
// is not there; with one it names the image and opens its folder.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include "ui/qt/MainDlg.h"
#include "ui/qt/MessageBoxEx.h"

namespace stow::ui::qt {
namespace {

// Takes the URLs the window opens instead of the desktop.
class OpenedUrls : public QObject {
  Q_OBJECT

 public:
  Q_INVOKABLE void Open(const QUrl& url) { urls.push_back(url); }
  std::vector<QUrl> urls;
};

TEST(MakePe, NamesTheBuiltImageAndOpensItsFolderElseSaysTheBuilderIsMissing) {
  QTemporaryDir programDir;
  OpenedUrls opened;
  QDesktopServices::setUrlHandler(QStringLiteral("file"), &opened, "Open");
  std::vector<QString> texts;
  SetMessageBoxAnswerForTesting([&](const QString& text, const QString&, int) {
    texts.push_back(text);
    return kIdOk;
  });
  CMainDlg window;
  window.Initialise(programDir.path(), false);
  auto* button = window.findChild<QAbstractButton*>(QStringLiteral("btn_makepe"));
  ASSERT_NE(button, nullptr);

  button->click();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_TRUE(texts[0].startsWith(QStringLiteral("Making a boot disk is not part of this version")));
  EXPECT_TRUE(opened.urls.empty());

  ASSERT_TRUE(QDir(programDir.path()).mkdir(QStringLiteral("winpe")));
  QFile iso(programDir.filePath(QStringLiteral("winpe/winpe.iso")));
  ASSERT_TRUE(iso.open(QIODevice::WriteOnly));
  iso.close();
  button->click();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_TRUE(texts[1].replace(QLatin1Char('\n'), QLatin1Char(' ')).contains(iso.fileName()))
      << texts[1].toStdString();
  ASSERT_EQ(opened.urls.size(), 1u);
  EXPECT_EQ(opened.urls[0].toLocalFile(), programDir.filePath(QStringLiteral("winpe")));

  QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
  SetMessageBoxAnswerForTesting({});
}

}  // namespace
}  // namespace stow::ui::qt

#include "MakePeTest.moc"
