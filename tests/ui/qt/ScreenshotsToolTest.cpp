// stowline-screenshots writes a picture for every one in docs/screenshots, by
// the same names, and nothing else.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

namespace stow::ui::qt {
namespace {

TEST(ScreenshotsTool, WritesEveryPictureOfTheDocumentationByItsName) {
  QTemporaryDir out;
  ASSERT_TRUE(out.isValid());
  const QString folder = out.filePath(QStringLiteral("pictures"));
  QProcess tool;
  tool.start(QStringLiteral(STOWLINE_SCREENSHOTS_PATH), {folder});
  ASSERT_TRUE(tool.waitForFinished(120000));
  EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();

  const QStringList png{QStringLiteral("*.png")};
  const QStringList written = QDir(folder).entryList(png, QDir::Files, QDir::Name);
  const QStringList documented = QDir(QStringLiteral(STOWLINE_SOURCE_DIR "/docs/screenshots"))
                                     .entryList(png, QDir::Files, QDir::Name);
  EXPECT_EQ(written, documented);
  for (const QString& name : written) {
    const QImage picture(QDir(folder).filePath(name));
    EXPECT_GT(picture.width(), 100) << name.toStdString();
    EXPECT_GT(picture.height(), 100) << name.toStdString();
  }
}

}  // namespace
}  // namespace stow::ui::qt
