#include "ui/qt/MessageRules.h"

#include <array>
#include <cstring>
#include <utility>

namespace stow::ui::qt {

const char* ButtonText(const char* key) {
  static constexpr std::array<std::pair<const char*, const char*>, 7> kTexts = {
      {{"ok", "OK"},
       {"cancel", "Cancel"},
       {"abort", "Abort"},
       {"retry", "Retry"},
       {"yes", "YES"},
       {"no", "NO"},
       {"ignore", "Ignore"}}};
  for (const auto& [k, text] : kTexts) {
    if (std::strcmp(k, key) == 0) return text;
  }
  return key;
}

int ScaleForDpi(int dpi) {
  switch (dpi) {
    case 120:
      return 125;
    case 144:
      return 150;
    case 168:
      return 175;
    case 192:
      return 200;
    default:
      return 100;
  }
}

}  // namespace stow::ui::qt
