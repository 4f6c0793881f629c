// The model behind each page's list of partitions: rows, column names, the texts
// and icon of each row, and the selected row. It knows no toolkit: a view binds a
// row through BindRow and forwards its row state changes and clicks here; the
// model tells its observers when the view has to redraw or re-read the rows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/PartitionInfo.h"

namespace stow::discovery {

inline constexpr int kPartitionListColumns = 5;
inline constexpr int kNoSelection = -1;
// The row state bit that a check box or radio button sets when checked.
inline constexpr uint32_t kRowStateChecked = 4;

// A size as the list shows it: "%0.2f MB" below 1,048,576 KiB, else "%0.2f GB".
std::string FormatPartitionSize(uint64_t bytes);

// The texts of one bound row; how a window shows them (its cells, skins and
// icons) is the window's matter.
struct PartitionRowView {
  std::string hdNumber;  // "HD %d", or "Dynamic" for a negative disk number
  std::string name;      // the mount path, else the volume name
  std::string totalSize;
  std::string freeSize;
  std::string fileSystem;
  bool systemVolume = false;  // the running system's volume: shown with its own icon
  int userData = 0;           // the row index, kept with the row's selection mark
  bool checked = false;       // this row is the selected one
};

// Told by the model when the view has to redraw (the selection moved) or re-read
// its rows (the data changed).
class PartitionListObserver {
 public:
  virtual ~PartitionListObserver() = default;
  virtual void OnInvalidated() = 0;
  virtual void OnChanged() = 0;
};

class CPartitionListViewAdapter {
 public:
  CPartitionListViewAdapter() = default;

  // Replaces the rows: every record of `list` in order, without the system volume
  // when `includeSystem` is false. The selection is cleared: an index kept from the
  // old rows would name another volume.
  void SetRows(const PartitionList& list, bool includeSystem);

  int GetCount() const { return static_cast<int>(rows_.size()); }
  const PartitionList& Rows() const { return rows_; }
  // "col1".."col5" for column indexes 0..4.
  static std::string GetColumnName(int column);
  // Header clicks never reorder the rows.
  static bool OnSort(int /*column*/) { return false; }

  // The texts of row `row`, which must be below GetCount().
  PartitionRowView BindRow(int row) const;

  // A row's state changed from `oldState` to `newState`; `userData` is the index
  // stored on the row's "txt_HD_NO". A change of the checked bit selects that row.
  void OnRowStateChanged(int userData, uint32_t oldState, uint32_t newState);
  // "txt_HD_NO" with `userData` was clicked; only a check box selects this way.
  void OnHdNumberClicked(int userData, bool isCheckBox);

  // kNoSelection after construction; an index at or past GetCount() means none too.
  int SelectedRow() const { return selectedRow_; }
  void SetSelectedRow(int row) { selectedRow_ = row; }
  // The selected record, or nullptr when there is no selection.
  const PartitionInfo* SelectedPartition() const;

  void AddObserver(PartitionListObserver* observer);
  void RemoveObserver(PartitionListObserver* observer);

 private:
  void NotifyInvalidated();
  void NotifyChanged();
  bool IsObserver(const PartitionListObserver* observer) const;

  PartitionList rows_;
  int selectedRow_ = kNoSelection;
  std::vector<PartitionListObserver*> observers_;
};

}  // namespace stow::discovery
