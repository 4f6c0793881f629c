// The message box and the result dialog: the only ways the program asks or
// tells the user anything. The types, button sets, icons and result ids are
// those of the system's message boxes, so that every toolkit shows the same
// buttons in the same order and returns the same ids.
#pragma once

#include <string>
#include <vector>

namespace stow::ui {

// Button sets: the low four bits of a message box type.
inline constexpr int kMbOk = 0x00;
inline constexpr int kMbOkCancel = 0x01;
inline constexpr int kMbAbortRetryIgnore = 0x02;
inline constexpr int kMbYesNoCancel = 0x03;
inline constexpr int kMbYesNo = 0x04;
inline constexpr int kMbRetryCancel = 0x05;
inline constexpr int kMbButtonMask = 0x0F;
// Icons: bits 4 to 7.
inline constexpr int kMbIconHand = 0x10;
inline constexpr int kMbIconQuestion = 0x20;
inline constexpr int kMbIconExclamation = 0x30;
inline constexpr int kMbIconInformation = 0x40;
inline constexpr int kMbIconMask = 0xF0;

// Results: the id of the button that closed the box.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;  // also the caption's close button
inline constexpr int kIdAbort = 3;
inline constexpr int kIdRetry = 4;
inline constexpr int kIdIgnore = 5;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

struct MessageButton {
  const char* key;  // "ok", "cancel" ...: the layout's button text entry
  int result;
};

// The buttons of `type`, in the order of the controls "button1st",
// "button2nd", "button3rd" (OK/Cancel shows Cancel first); empty for a set
// the program does not use (low bits above 5).
std::vector<MessageButton> MessageBoxButtons(int type);

// The image control shown for `type` ("skin_icon_exclamation"), or empty.
std::string MessageBoxIcon(int type);

// The one line break the boxes insert: a text of 48 characters or more gets
// its last blank at or before position 46 replaced by a line feed; a shorter
// text, or one without a blank there, is left as it is. Counts characters, not
// bytes.
std::string WrapMessageText(const std::string& text);

// A message or question. `id` is the string-table identifier of the text
// ("confirmBackup"), so that tests and the log can tell the questions apart;
// `text` is the formatted text itself.
struct MessageRequest {
  std::string id;
  std::string text;
  std::string caption;  // empty: "prompt"
  int type = kMbOk;
};

// The dialog that ends a task: a picture, a caption and a text.
struct ResultRequest {
  std::string text;
  std::string caption;
  std::string imageSkin;  // "skin.success.anim" or "skin.error.tip"
};

inline constexpr const char* kSuccessImageSkin = "skin.success.anim";
inline constexpr const char* kErrorImageSkin = "skin.error.tip";

// The request of the success dialog (`missionCompleted`, `thankUse`) and of
// the failure dialog (`taskFailed`, `sorryTry`), texts from the string table.
ResultRequest SuccessResult();
ResultRequest FailureResult();

// The save dialog of a file: the proposed name and the suffix without a dot.
struct SaveFileRequest {
  std::string defaultName;
  std::string suffix;
};

// The open dialog of a file: the suffix of the files it offers, without a dot.
struct OpenFileRequest {
  std::string suffix;
};

}  // namespace stow::ui
