// The controls of a page as the page controllers use them, free of any
// toolkit. A window implements them over its own widgets (found by the layout's
// control names); the headless implementation holds their state for tests.
// Texts are UTF-8.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace stow::ui {

// One control of a page: a button, check box, edit, text, combo box, list or bar.
class Control {
 public:
  virtual ~Control() = default;

  // The control's name in the page layout ("btn_start_backup").
  virtual std::string Name() const = 0;

  virtual void SetEnabled(bool enabled) = 0;
  virtual bool IsEnabled() const = 0;
  virtual void SetChecked(bool checked) = 0;
  virtual bool IsChecked() const = 0;
  virtual void SetVisible(bool visible) = 0;
  virtual bool IsVisible() const = 0;
  virtual void SetText(const std::string& text) = 0;
  virtual std::string Text() const = 0;
  // Layout attributes by name ("show", "enable", "skin"); empty when not set.
  virtual void SetAttribute(const std::string& name, const std::string& value) = 0;
  virtual std::string Attribute(const std::string& name) const = 0;
  // One integer a controller keeps on the control.
  virtual void SetUserData(int64_t data) = 0;
  virtual int64_t UserData() const = 0;
  // Redraws the control now rather than at the next idle moment.
  virtual void Update() {}
};

// A drop-down list of texts.
class ComboBox : public virtual Control {
 public:
  static constexpr int kNoItem = -1;

  virtual void ResetContent() = 0;
  // Inserts `text` before `index`; an index at or past the count appends.
  virtual void InsertItem(int index, const std::string& text) = 0;
  virtual int ItemCount() const = 0;
  virtual std::string ItemText(int index) const = 0;
  // kNoItem clears the selection; the control's text follows the selection.
  virtual void SetCurSel(int index) = 0;
  virtual int CurSel() const = 0;
};

// One control of a list row as the adapter binds it: its text, check state,
// user data and attributes, addressed by its name in the row template.
struct ListCell {
  std::string control;
  std::string text;
  bool checked = false;
  int64_t userData = 0;
  std::vector<std::pair<std::string, std::string>> attributes;
};

// The state bit of a row whose radio mark or check box is set.
inline constexpr uint32_t kRowStateChecked = 4;

// The data behind a multi-column list: the list asks it for the item count,
// the column names and the cells of each row, and tells it about row state
// changes (a radio or check box in a row was set or cleared).
class ListAdapter {
 public:
  virtual ~ListAdapter() = default;
  virtual int ItemCount() const = 0;
  virtual std::vector<std::string> ColumnNames() const = 0;
  // The cells of `row` (below ItemCount()).
  virtual std::vector<ListCell> BindRow(int row) const = 0;
  // The state of the row whose cell carries `userData` changed.
  virtual void OnRowStateChanged(int64_t userData, uint32_t oldState, uint32_t newState) = 0;
  // The selected row; -1 for none.
  virtual int SelectedRow() const = 0;
  virtual void SetSelectedRow(int row) = 0;
};

class ListView : public virtual Control {
 public:
  static constexpr int kNoRow = -1;

  // The list re-reads its rows from `adapter`, which it keeps.
  virtual void SetAdapter(std::shared_ptr<ListAdapter> adapter) = 0;
  virtual std::shared_ptr<ListAdapter> Adapter() const = 0;
  // Selects `row` (kNoRow: none). With `notify`, the row's state change
  // reaches the adapter as a user's click would.
  virtual void SetSel(int row, bool notify) = 0;
  virtual int Sel() const = 0;
};

// A bar from 0 to 100.
class ProgressBar : public virtual Control {
 public:
  virtual void SetValue(int percent) = 0;
  virtual int Value() const = 0;
};

}  // namespace stow::ui
