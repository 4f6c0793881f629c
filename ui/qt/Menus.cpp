#include "ui/qt/Menus.h"

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QXmlStreamReader>

#include "support/Log.h"
#include "ui/qt/Scale.h"
#include "ui/qt/Texts.h"

namespace stow::ui::qt {
namespace {

constexpr const char* kContext = "dlg_main";

struct MenuStyle {
  int itemHeight = 26;
  int minWidth = 100;
  int maxWidth = 180;
};

void StyleMenu(QMenu* menu, const MenuStyle& style, int scale) {
  menu->setMinimumWidth(Scaled(style.minWidth, scale));
  menu->setMaximumWidth(Scaled(style.maxWidth, scale));
  QFont font = menu->font();
  font.setPixelSize(Scaled(kDefaultFontDp, scale));
  menu->setFont(font);
  menu->setStyleSheet(QStringLiteral("QMenu::item { min-height: %1px; padding: 0 %2px; }")
                          .arg(Scaled(style.itemHeight, scale) - 2)
                          .arg(Scaled(24, scale)));
}

int IntAttribute(const QXmlStreamReader& xml, const char* name, int fallback) {
  bool ok = false;
  const int value = xml.attributes().value(QLatin1StringView(name)).toInt(&ok);
  return ok ? value : fallback;
}

// Reads the items of the <menu> element the reader stands on into `menu`,
// down to its end element.
void ReadItems(QXmlStreamReader& xml, QMenu* menu, const MenuStyle& style, int scale,
               int checkedCommand) {
  while (xml.readNextStartElement()) {
    const QString text =
        TranslateText(kContext, xml.attributes().value(QLatin1StringView("text")).toString());
    const int id = IntAttribute(xml, "id", 0);
    if (xml.name() == QLatin1StringView("item")) {
      QAction* action = menu->addAction(text);
      action->setData(id);
      if (IntAttribute(xml, "check", 0) != 0) {
        action->setCheckable(true);
        action->setChecked(id == checkedCommand);
      }
      xml.skipCurrentElement();
    } else if (xml.name() == QLatin1StringView("sep")) {
      menu->addSeparator();
      xml.skipCurrentElement();
    } else if (xml.name() == QLatin1StringView("menu")) {
      QMenu* sub = menu->addMenu(text);
      sub->menuAction()->setData(id);
      StyleMenu(sub, style, scale);
      ReadItems(xml, sub, style, scale, checkedCommand);
    } else {
      xml.skipCurrentElement();
    }
  }
}

QMenu* LoadMenu(const char* name, QWidget* parent, int checkedCommand, int scale) {
  auto* menu = new QMenu(parent);
  menu->setObjectName(QLatin1StringView(name));
  QFile file(QStringLiteral(":/menus/%1.xml").arg(QLatin1StringView(name)));
  if (!file.open(QIODevice::ReadOnly)) {
    LogLess("the menu %s is missing", name);
    return menu;
  }
  QXmlStreamReader xml(&file);
  if (!xml.readNextStartElement() || xml.name() != QLatin1StringView("menu")) {
    LogLess("the menu %s is not a menu", name);
    return menu;
  }
  MenuStyle style;
  style.itemHeight = IntAttribute(xml, "itemHeight", style.itemHeight);
  style.minWidth = IntAttribute(xml, "minWidth", style.minWidth);
  style.maxWidth = IntAttribute(xml, "maxWidth", style.maxWidth);
  StyleMenu(menu, style, scale);
  ReadItems(xml, menu, style, scale, checkedCommand);
  if (xml.hasError()) {
    LogLess("the menu %s: %s", name, xml.errorString().toUtf8().constData());
  }
  return menu;
}

}  // namespace

QMenu* BuildLanguageMenu(QWidget* parent, int currentCommand, int scale) {
  return LoadMenu("menu_lang", parent, currentCommand, scale);
}

QMenu* BuildCommonMenu(QWidget* parent, int scale) {
  return LoadMenu("menu_common", parent, 0, scale);
}

int CommandOf(const QAction* action) { return action != nullptr ? action->data().toInt() : 0; }

}  // namespace stow::ui::qt
