#include "ui/framework/headless/HeadlessControls.h"

#include <algorithm>

namespace stow::ui::headless {

void HeadlessControl::SetAttribute(const std::string& name, const std::string& value) {
  attributes_[name] = value;
}

std::string HeadlessControl::Attribute(const std::string& name) const {
  const auto found = attributes_.find(name);
  return found == attributes_.end() ? std::string() : found->second;
}

void HeadlessComboBox::ResetContent() {
  items_.clear();
  selected_ = kNoItem;
  SetText({});
}

void HeadlessComboBox::InsertItem(int index, const std::string& text) {
  const auto at = index < 0 || index >= ItemCount() ? items_.end() : items_.begin() + index;
  items_.insert(at, text);
  if (selected_ != kNoItem && index >= 0 && index <= selected_) ++selected_;
}

std::string HeadlessComboBox::ItemText(int index) const {
  if (index < 0 || index >= ItemCount()) return {};
  return items_[static_cast<size_t>(index)];
}

void HeadlessComboBox::SetCurSel(int index) {
  selected_ = index >= 0 && index < ItemCount() ? index : kNoItem;
  SetText(ItemText(selected_));
}

void HeadlessListView::SetAdapter(std::shared_ptr<ListAdapter> adapter) {
  adapter_ = std::move(adapter);
  selected_ = kNoRow;
  ++adapterChanges_;
}

void HeadlessListView::SetSel(int row, bool notify) {
  const int count = adapter_ ? adapter_->ItemCount() : 0;
  const int old = selected_;
  selected_ = row >= 0 && row < count ? row : kNoRow;
  if (notify && adapter_ && selected_ != kNoRow && selected_ != old) {
    // The row's radio mark is set: its state change reaches the adapter with
    // the user data of the row's number cell, as the row template stores it.
    int64_t userData = selected_;
    for (const ListCell& cell : adapter_->BindRow(selected_)) {
      if (cell.control == "txt_HD_NO") userData = cell.userData;
    }
    adapter_->OnRowStateChanged(userData, 0, kRowStateChecked);
  }
}

std::vector<std::vector<ListCell>> HeadlessListView::BoundRows() const {
  std::vector<std::vector<ListCell>> rows;
  if (!adapter_) return rows;
  for (int row = 0; row < adapter_->ItemCount(); ++row) rows.push_back(adapter_->BindRow(row));
  return rows;
}

std::string HeadlessListView::CellText(int row, const std::string& control) const {
  if (!adapter_ || row < 0 || row >= adapter_->ItemCount()) return {};
  for (const ListCell& cell : adapter_->BindRow(row)) {
    if (cell.control == control) return cell.text;
  }
  return {};
}

void HeadlessProgressBar::SetValue(int percent) { value_ = std::clamp(percent, 0, 100); }

}  // namespace stow::ui::headless
