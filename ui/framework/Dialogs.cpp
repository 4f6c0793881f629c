#include "ui/framework/Dialogs.h"

#include <cstddef>

#include "support/StringTable.h"

namespace stow::ui {
namespace {

constexpr size_t kWrapMinLength = 48;     // shorter texts stay on one line
constexpr size_t kWrapLastPosition = 46;  // the break replaces a blank at or before this

// Byte offsets of the UTF-8 characters of `text`.
std::vector<size_t> CharacterStarts(const std::string& text) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
  }
  return starts;
}

}  // namespace

std::vector<MessageButton> MessageBoxButtons(int type) {
  switch (type & kMbButtonMask) {
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

std::string MessageBoxIcon(int type) {
  switch (type & kMbIconMask) {
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
  const std::vector<size_t> starts = CharacterStarts(text);
  if (starts.size() < kWrapMinLength) return text;
  for (size_t position = kWrapLastPosition + 1; position-- > 0;) {
    if (text[starts[position]] == ' ') {
      std::string wrapped = text;
      wrapped[starts[position]] = '\n';
      return wrapped;
    }
  }
  return text;
}

ResultRequest SuccessResult() {
  return {LoadText("thankUse"), LoadText("missionCompleted"), kSuccessImageSkin};
}

ResultRequest FailureResult() {
  return {LoadText("sorryTry"), LoadText("taskFailed"), kErrorImageSkin};
}

}  // namespace stow::ui
