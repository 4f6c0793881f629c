// Controls that only hold their state, for tests: what a page controller set
// can be read back, and a test acts as the user through HeadlessPage.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/framework/Controls.h"

namespace stow::ui::headless {

class HeadlessControl : public virtual Control {
 public:
  explicit HeadlessControl(std::string name) : name_(std::move(name)) {}

  std::string Name() const override { return name_; }
  void SetEnabled(bool enabled) override { enabled_ = enabled; }
  bool IsEnabled() const override { return enabled_; }
  void SetChecked(bool checked) override { checked_ = checked; }
  bool IsChecked() const override { return checked_; }
  void SetVisible(bool visible) override { visible_ = visible; }
  bool IsVisible() const override { return visible_; }
  void SetText(const std::string& text) override {
    text_ = text;
    texts_.push_back(text);
  }
  std::string Text() const override { return text_; }
  // Every text it was given, in order: what a user saw pass by.
  const std::vector<std::string>& Texts() const { return texts_; }
  void SetAttribute(const std::string& name, const std::string& value) override;
  std::string Attribute(const std::string& name) const override;
  void SetUserData(int64_t data) override { userData_ = data; }
  int64_t UserData() const override { return userData_; }
  void Update() override { ++updates_; }

  // How often Update was called.
  int Updates() const { return updates_; }

 private:
  std::string name_;
  bool enabled_ = true;
  bool checked_ = false;
  bool visible_ = true;
  std::string text_;
  std::vector<std::string> texts_;
  std::map<std::string, std::string> attributes_;
  int64_t userData_ = 0;
  int updates_ = 0;
};

class HeadlessComboBox final : public HeadlessControl, public ComboBox {
 public:
  using HeadlessControl::HeadlessControl;

  void ResetContent() override;
  void InsertItem(int index, const std::string& text) override;
  int ItemCount() const override { return static_cast<int>(items_.size()); }
  std::string ItemText(int index) const override;
  void SetCurSel(int index) override;
  int CurSel() const override { return selected_; }

  const std::vector<std::string>& Items() const { return items_; }

 private:
  std::vector<std::string> items_;
  int selected_ = kNoItem;
};

class HeadlessListView final : public HeadlessControl, public ListView {
 public:
  using HeadlessControl::HeadlessControl;

  void SetAdapter(std::shared_ptr<ListAdapter> adapter) override;
  std::shared_ptr<ListAdapter> Adapter() const override { return adapter_; }
  void SetSel(int row, bool notify) override;
  int Sel() const override { return selected_; }

  // The rows as the list would draw them now, read from its adapter.
  std::vector<std::vector<ListCell>> BoundRows() const;
  // The text of cell `control` of `row`; empty when the row or cell is missing.
  std::string CellText(int row, const std::string& control) const;
  // How often an adapter was set.
  int AdapterChanges() const { return adapterChanges_; }

 private:
  std::shared_ptr<ListAdapter> adapter_;
  int selected_ = kNoRow;
  int adapterChanges_ = 0;
};

class HeadlessProgressBar final : public HeadlessControl, public ProgressBar {
 public:
  using HeadlessControl::HeadlessControl;

  // Values outside 0..100 are clamped, as a bar shows them.
  void SetValue(int percent) override;
  int Value() const override { return value_; }

 private:
  int value_ = 0;
};

}  // namespace stow::ui::headless
