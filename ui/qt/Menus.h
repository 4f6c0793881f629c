// The main window's two pop-up menus, "menu_lang" and "menu_common": XML
// resources (menus/*.xml) with their command ids, item heights and widths; the
// texts are translation sources in "dlg_main".
#pragma once

class QAction;
class QMenu;
class QWidget;

namespace stow::ui::qt {

inline constexpr int kCmdLanguageMenu = 50;
inline constexpr int kCmdEnglish = 100;  // language list entry (command - 100)
inline constexpr int kCmdChinese = 101;
inline constexpr int kCmdExit = 168;
inline constexpr int kCmdHome = 200;
inline constexpr int kCmdHelp = 201;
inline constexpr int kCmdAbout = 202;

// "menu_lang": sub-menu "Language" with English and Chinese (the current one
// checked), a separator, Exit. Items 26 dp high.
QMenu* BuildLanguageMenu(QWidget* parent, int currentCommand, int scale);
// "menu_common": Home, Help, About. Items 30 dp high.
QMenu* BuildCommonMenu(QWidget* parent, int scale);

// The command of the chosen action, 0 for none.
int CommandOf(const QAction* action);

}  // namespace stow::ui::qt
