#include "ui/framework/UiHost.h"

#include "support/StringTable.h"

namespace stow::ui {

void ShowNotice(UiHost& host, const std::string& id, const std::string& text) {
  host.ShowMessageBox({id, text, LoadText("notice"), kMbOk});
}

bool AskOkCancel(UiHost& host, const std::string& id, const std::string& text) {
  return host.ShowMessageBox({id, text, LoadText("notice"), kMbOkCancel}) == kIdOk;
}

}  // namespace stow::ui
