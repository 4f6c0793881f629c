// The interface languages: "lang_English" and "lang_Chinese", Qt Linguist
// translations compiled into the program. English is installed at every
// start; the language menu switches until the program ends, nothing is stored.
// Installing a language sends every widget Qt's language-change event, on
// which each window shows its texts again (Texts.h).
#pragma once

#include <QStringList>

namespace stow::ui::qt {

class Languages {
 public:
  // "lang_English", "lang_Chinese": the order of the language menu's commands.
  static const QStringList& Names();
  // Installs language `index` of Names(); false (the current language stays)
  // when it does not exist or its translation cannot be loaded.
  static bool Switch(int index);
  // The installed language's index; -1 before the first Switch.
  static int Current();
};

}  // namespace stow::ui::qt
