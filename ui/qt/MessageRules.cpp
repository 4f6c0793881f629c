#include "ui/qt/MessageRules.h"

#include <array>
#include <cstring>
#include <utility>

namespace stow::ui::qt {

std::vector<MessageButton> MessageBoxButtons(int type) {
  switch (type & 0x0F) {
    case kMbOk:
      return {{"ok", kIdOk}};
    case kMbOkCancel:
      return {{"cancel", kIdCancel}, {"ok", kIdOk}};
    case kMbAbortRetryIgnore:
      return {{"abort", kIdAbort}, {"retry", kIdRetry}, {"ignore", kIdIgnore}};
    case kMbYesNoCancel:
      return {{"yes", kIdYes}, {"no", kIdNo}, {"cancel", kIdCancel}};
    case kMbYesNo:
      return {{"yes", kIdYes}, {"no", kIdNo}};
    case kMbRetryCancel:
      return {{"retry", kIdRetry}, {"cancel", kIdCancel}};
    default:
      return {};
  }
}

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

std::string MessageBoxIcon(int type) {
  switch (type & 0xF0) {
    case kMbIconHand:
      return "skin_icon_hand";
    case kMbIconQuestion:
      return "skin_icon_question";
    case kMbIconExclamation:
      return "skin_icon_exclamation";
    case kMbIconInformation:
      return "skin_icon_information";
    default:
      return {};
  }
}

std::string WrapMessageText(const std::string& text) {
  constexpr size_t kLongText = 48;   // characters from which a break is inserted
  constexpr size_t kLastBreak = 46;  // the break goes at or before this character
  // Byte offset of every character; a continuation byte of UTF-8 starts none.
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
  }
  if (starts.size() < kLongText) return text;
  for (size_t c = kLastBreak + 1; c-- > 0;) {
    if (text[starts[c]] == ' ') {
      std::string wrapped = text;
      wrapped[starts[c]] = '\n';
      return wrapped;
    }
  }
  return text;
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
