// The framework's controls (ui/framework/Controls.h) over the widgets of a
// page, found by their layout names: any widget as a Control, QComboBox as a
// ComboBox, the partition list (a QTreeView over PartitionItemModel) as a
// ListView and QProgressBar as a ProgressBar.
#pragma once

#include <QPointer>
#include <QWidget>
#include <map>
#include <memory>
#include <string>

#include "ui/framework/Controls.h"

class QComboBox;
class QProgressBar;
class QTreeView;

namespace stow::ui::qt {

class PartitionItemModel;

class QtControl : public virtual Control {
 public:
  explicit QtControl(QWidget* widget) : widget_(widget) {}

  std::string Name() const override;
  // The control's own state: a locked page does not change it.
  void SetEnabled(bool enabled) override;
  bool IsEnabled() const override;
  void SetChecked(bool checked) override;
  bool IsChecked() const override;
  void SetVisible(bool visible) override;
  bool IsVisible() const override;
  // A label's or button's text is shown translated in the window's context
  // and follows language changes; an edit's is shown as it is.
  void SetText(const std::string& text) override;
  std::string Text() const override;
  // "show" and "enable" ("0" or "1") act on the widget, "skin" on its image;
  // every attribute is kept and read back.
  void SetAttribute(const std::string& name, const std::string& value) override;
  std::string Attribute(const std::string& name) const override;
  void SetUserData(int64_t data) override { userData_ = data; }
  int64_t UserData() const override { return userData_; }
  void Update() override;

  QWidget* Widget() const { return widget_; }

 private:
  QPointer<QWidget> widget_;
  std::map<std::string, std::string> attributes_;
  int64_t userData_ = 0;
};

class QtComboBox final : public QtControl, public ComboBox {
 public:
  explicit QtComboBox(QComboBox* combo);
  void ResetContent() override;
  void InsertItem(int index, const std::string& text) override;
  int ItemCount() const override;
  std::string ItemText(int index) const override;
  void SetCurSel(int index) override;
  int CurSel() const override;

 private:
  QComboBox* combo_;
};

class QtListView final : public QtControl, public ListView {
 public:
  explicit QtListView(QTreeView* view);
  ~QtListView() override;
  void SetAdapter(std::shared_ptr<ListAdapter> adapter) override;
  std::shared_ptr<ListAdapter> Adapter() const override;
  void SetSel(int row, bool notify) override;
  int Sel() const override;

  PartitionItemModel* Model() const { return model_; }

 private:
  QTreeView* view_;
  PartitionItemModel* model_;
};

class QtProgressBar final : public QtControl, public ProgressBar {
 public:
  explicit QtProgressBar(QProgressBar* bar);
  void SetValue(int percent) override;
  int Value() const override;

 private:
  QProgressBar* bar_;
};

// The control over `widget`, of the kind its class calls for.
std::unique_ptr<Control> MakeControl(QWidget* widget);

}  // namespace stow::ui::qt
