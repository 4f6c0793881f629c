#include "ui/framework/Page.h"

namespace stow::ui {

ComboBox* Page::FindComboBox(std::string_view name) { return dynamic_cast<ComboBox*>(Find(name)); }

ListView* Page::FindListView(std::string_view name) { return dynamic_cast<ListView*>(Find(name)); }

ProgressBar* Page::FindProgressBar(std::string_view name) {
  return dynamic_cast<ProgressBar*>(Find(name));
}

void Page::DeliverCommand(const std::string& control) {
  if (handlers_.onCommand) handlers_.onCommand(control);
}

void Page::DeliverSelectionChanged(const std::string& control) {
  if (handlers_.onSelectionChanged) handlers_.onSelectionChanged(control);
}

void Page::DeliverTimer(int timerId) {
  if (handlers_.onTimer) handlers_.onTimer(timerId);
}

}  // namespace stow::ui
