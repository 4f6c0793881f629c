// The rules of the message box that no toolkit decides: its button sets and
// their result ids, the icon of a type, the one line break of a long text, and
// the scale of a screen's DPI. The types and ids are those of the system's
// message boxes, so every toolkit shows the same buttons in the same order.
#pragma once

#include <string>
#include <vector>

namespace stow::ui::qt {

// Button sets: the low four bits of a message box type.
inline constexpr int kMbOk = 0x00;
inline constexpr int kMbOkCancel = 0x01;
inline constexpr int kMbAbortRetryIgnore = 0x02;
inline constexpr int kMbYesNoCancel = 0x03;
inline constexpr int kMbYesNo = 0x04;
inline constexpr int kMbRetryCancel = 0x05;
// Icons: bits 4 to 7.
inline constexpr int kMbIconHand = 0x10;
inline constexpr int kMbIconQuestion = 0x20;
inline constexpr int kMbIconExclamation = 0x30;
inline constexpr int kMbIconInformation = 0x40;

// Results: the id of the button that closed the box.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;  // also the caption's close button
inline constexpr int kIdAbort = 3;
inline constexpr int kIdRetry = 4;
inline constexpr int kIdIgnore = 5;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

struct MessageButton {
  const char* key;  // "ok", "cancel" ...: the button's text entry
  int result;
};

// The buttons of `type` in the order of "button1st", "button2nd", "button3rd"
// (OK/Cancel shows Cancel first); empty for the sets above 5, which the
// program never shows.
std::vector<MessageButton> MessageBoxButtons(int type);
// The English text of a button key ("yes" -> "YES"); the key itself when unknown.
const char* ButtonText(const char* key);

// The image control shown for `type` ("skin_icon_exclamation"), or empty.
std::string MessageBoxIcon(int type);

// A text of 48 characters or more gets its last blank at or before position 46
// replaced by a line feed; a shorter text, or one without a blank there, is
// left as it is. Counts characters (UTF-8 sequences), not bytes.
std::string WrapMessageText(const std::string& text);

// The scale in percent of a screen's horizontal DPI: 96, 120, 144, 168 and 192
// give 100, 125, 150, 175 and 200; any other DPI gives 100.
int ScaleForDpi(int dpi);

}  // namespace stow::ui::qt
