// The tests of the window run under Qt's offscreen platform with the
// program's resources, style and English installed, as the program starts.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>

#include "ui/qt/Languages.h"
#include "ui/qt/Scale.h"
#include "ui/qt/Skins.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
  testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  stow::ui::qt::InitResources();
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(stow::ui::qt::kDefaultFontDp);
  QApplication::setFont(font);
  app.setStyleSheet(stow::ui::qt::StyleSheet());
  stow::ui::qt::Languages::Switch(0);
  return RUN_ALL_TESTS();
}
