// What the window adds to the message rules of ui/framework/Dialogs.h (button
// sets, icons, the line break): the English text of a button, and the scale
// of a screen's DPI.
#pragma once

#include "ui/framework/Dialogs.h"

namespace stow::ui::qt {

// The English text of a button key ("yes" -> "YES"); the key itself when unknown.
const char* ButtonText(const char* key);

// The scale in percent of a screen's horizontal DPI: 96, 120, 144, 168 and 192
// give 100, 125, 150, 175 and 200; any other DPI gives 100.
int ScaleForDpi(int dpi);

}  // namespace stow::ui::qt
