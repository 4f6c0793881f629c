#include "ui/qt/Menus.h"

#include <QAction>
#include <QMenu>

#include "ui/qt/Scale.h"
#include "ui/qt/Texts.h"

namespace stow::ui::qt {
namespace {

constexpr const char* kContext = "dlg_main";

void StyleMenu(QMenu* menu, int itemHeightDp, int scale) {
  menu->setMinimumWidth(Scaled(100, scale));
  menu->setMaximumWidth(Scaled(180, scale));
  QFont font = menu->font();
  font.setPixelSize(Scaled(kDefaultFontDp, scale));
  menu->setFont(font);
  menu->setStyleSheet(QStringLiteral("QMenu::item { min-height: %1px; padding: 0 %2px; }")
                          .arg(Scaled(itemHeightDp, scale) - 2)
                          .arg(Scaled(24, scale)));
}

QAction* AddItem(QMenu* menu, int command, const char* source) {
  QAction* action = menu->addAction(TranslateText(kContext, QString::fromLatin1(source)));
  action->setData(command);
  return action;
}

}  // namespace

QMenu* BuildLanguageMenu(QWidget* parent, int currentCommand, int scale) {
  auto* menu = new QMenu(parent);
  menu->setObjectName(QStringLiteral("menu_lang"));
  StyleMenu(menu, 26, scale);
  QMenu* language = menu->addMenu(TranslateText(kContext, QStringLiteral("Language")));
  language->menuAction()->setData(kCmdLanguageMenu);
  StyleMenu(language, 26, scale);
  for (const auto& [command, source] :
       {std::pair{kCmdEnglish, "English"}, std::pair{kCmdChinese, "Chinese"}}) {
    QAction* action = AddItem(language, command, source);
    action->setCheckable(true);
    action->setChecked(command == currentCommand);
  }
  menu->addSeparator();
  AddItem(menu, kCmdExit, "Exit");
  return menu;
}

QMenu* BuildCommonMenu(QWidget* parent, int scale) {
  auto* menu = new QMenu(parent);
  menu->setObjectName(QStringLiteral("menu_common"));
  StyleMenu(menu, 30, scale);
  AddItem(menu, kCmdHome, "Home");
  AddItem(menu, kCmdHelp, "Help");
  AddItem(menu, kCmdAbout, "About");
  return menu;
}

int CommandOf(const QAction* action) { return action != nullptr ? action->data().toInt() : 0; }

}  // namespace stow::ui::qt
