// What the window gives the page controllers besides their pages: the pages by
// name, the modal dialogs, the save dialog, the clock of the timers and the
// notify centre. One host per process, used on the UI thread only (except the
// notify centre's posting, which any thread may do).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ui/framework/Dialogs.h"
#include "ui/framework/NotifyCenter.h"
#include "ui/framework/Page.h"

namespace stow::ui {

class UiHost {
 public:
  virtual ~UiHost() = default;

  // The page of that name ("page_copy", "page_backup", "page_restore"); nullptr
  // when the window has none.
  virtual Page* FindPage(std::string_view name) = 0;

  // Modal; returns the id of the button that closed the box (Dialogs.h).
  virtual int ShowMessageBox(const MessageRequest& request) = 0;
  // Modal; always returns kIdOk.
  virtual int ShowResultDialog(const ResultRequest& request) = 0;
  // The system's save dialog; the chosen full path, nothing when cancelled.
  virtual std::optional<std::string> ChooseSaveFile(const SaveFileRequest& request) = 0;
  // The system's open dialog; the chosen full path, nothing when cancelled.
  virtual std::optional<std::string> ChooseOpenFile(const OpenFileRequest& request) = 0;

  // A monotonic clock in whole seconds: the tick count ÷ 1000 of the timers.
  virtual uint32_t NowSeconds() const = 0;

  virtual NotifyCenter& Notify() = 0;
};

// The program's messages and questions carry the caption `notice`.
// A message: one OK button.
void ShowNotice(UiHost& host, const std::string& id, const std::string& text);
// A question with OK and Cancel; true when it was answered OK.
bool AskOkCancel(UiHost& host, const std::string& id, const std::string& text);

}  // namespace stow::ui
