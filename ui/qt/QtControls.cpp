#include "ui/qt/QtControls.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTreeView>
#include <algorithm>

#include "ui/qt/PartitionItemModel.h"
#include "ui/qt/Scale.h"
#include "ui/qt/Skins.h"
#include "ui/qt/Texts.h"

namespace stow::ui::qt {
namespace {

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

std::string QtControl::Name() const {
  return widget_ ? widget_->objectName().toStdString() : std::string();
}

void QtControl::SetEnabled(bool enabled) {
  if (widget_) widget_->setEnabled(enabled);
}

bool QtControl::IsEnabled() const {
  return widget_ && !widget_->testAttribute(Qt::WA_ForceDisabled);
}

void QtControl::SetChecked(bool checked) {
  if (auto* button = qobject_cast<QAbstractButton*>(widget_.data())) {
    if (!button->isCheckable()) button->setCheckable(true);
    button->setChecked(checked);
  }
}

bool QtControl::IsChecked() const {
  const auto* button = qobject_cast<const QAbstractButton*>(widget_.data());
  return button != nullptr && button->isChecked();
}

void QtControl::SetVisible(bool visible) {
  if (widget_) widget_->setVisible(visible);
}

bool QtControl::IsVisible() const { return widget_ && !widget_->isHidden(); }

void QtControl::SetText(const std::string& text) {
  if (!widget_) return;
  if (auto* edit = qobject_cast<QLineEdit*>(widget_.data())) {
    edit->setText(FromUtf8(text));
  } else if (auto* combo = qobject_cast<QComboBox*>(widget_.data())) {
    combo->setCurrentText(FromUtf8(text));
  } else {
    SetSourceText(widget_, FromUtf8(text));
  }
}

std::string QtControl::Text() const {
  if (!widget_) return {};
  if (const auto* edit = qobject_cast<const QLineEdit*>(widget_.data()))
    return edit->text().toStdString();
  if (const auto* combo = qobject_cast<const QComboBox*>(widget_.data())) {
    return combo->currentText().toStdString();
  }
  if (const auto* label = qobject_cast<const QLabel*>(widget_.data()))
    return label->text().toStdString();
  if (const auto* button = qobject_cast<const QAbstractButton*>(widget_.data())) {
    return button->text().toStdString();
  }
  return {};
}

void QtControl::SetAttribute(const std::string& name, const std::string& value) {
  attributes_[name] = value;
  if (!widget_) return;
  if (name == "show") {
    widget_->setVisible(value != "0");
  } else if (name == "enable") {
    widget_->setEnabled(value != "0");
  } else if (name == "skin") {
    widget_->setProperty("skin", FromUtf8(value));
    if (auto* label = qobject_cast<QLabel*>(widget_.data());
        label != nullptr && HasSkin(FromUtf8(value))) {
      label->setPixmap(SkinPixmap(FromUtf8(value), label->size(), label->devicePixelRatioF()));
    }
    widget_->update();
  }
}

std::string QtControl::Attribute(const std::string& name) const {
  const auto found = attributes_.find(name);
  return found != attributes_.end() ? found->second : std::string();
}

void QtControl::Update() {
  if (widget_) widget_->repaint();
}

QtComboBox::QtComboBox(QComboBox* combo) : QtControl(combo), combo_(combo) {}

void QtComboBox::ResetContent() { combo_->clear(); }

void QtComboBox::InsertItem(int index, const std::string& text) {
  const int at = index < 0 || index > combo_->count() ? combo_->count() : index;
  combo_->insertItem(at, FromUtf8(text));
  // A new combo box shows no selection until one is made.
  if (combo_->count() == 1) combo_->setCurrentIndex(-1);
}

int QtComboBox::ItemCount() const { return combo_->count(); }

std::string QtComboBox::ItemText(int index) const { return combo_->itemText(index).toStdString(); }

void QtComboBox::SetCurSel(int index) {
  combo_->setCurrentIndex(index >= 0 && index < combo_->count() ? index : -1);
}

int QtComboBox::CurSel() const { return combo_->currentIndex(); }

QtListView::QtListView(QTreeView* view)
    : QtControl(view), view_(view), model_(PartitionItemModel::Install(view)) {}

QtListView::~QtListView() = default;

void QtListView::SetAdapter(std::shared_ptr<ListAdapter> adapter) {
  model_->SetAdapter(std::move(adapter));
}

std::shared_ptr<ListAdapter> QtListView::Adapter() const { return model_->Adapter(); }

void QtListView::SetSel(int row, bool notify) { model_->Select(row, notify); }

int QtListView::Sel() const { return model_->SelectedViewRow(); }

QtProgressBar::QtProgressBar(QProgressBar* bar) : QtControl(bar), bar_(bar) {
  bar_->setRange(0, 100);
}

void QtProgressBar::SetValue(int percent) { bar_->setValue(std::clamp(percent, 0, 100)); }

int QtProgressBar::Value() const { return bar_->value(); }

std::unique_ptr<Control> MakeControl(QWidget* widget) {
  if (auto* combo = qobject_cast<QComboBox*>(widget)) return std::make_unique<QtComboBox>(combo);
  if (auto* view = qobject_cast<QTreeView*>(widget)) return std::make_unique<QtListView>(view);
  if (auto* bar = qobject_cast<QProgressBar*>(widget)) return std::make_unique<QtProgressBar>(bar);
  return std::make_unique<QtControl>(widget);
}

}  // namespace stow::ui::qt
