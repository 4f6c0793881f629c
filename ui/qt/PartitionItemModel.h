// The multi-column partition list of a page as a Qt item model over the
// framework's list adapter: one row per adapter item, the five columns of the
// row template ("col1".."col5": "txt_HD_NO"; "img_file_icon" with
// "txt_partion_name"; "txt_total_size"; "txt_available_size";
// "txt_file_system"), the system volume's icon, and on the backup and restore
// pages (the view's property "rowMark" = "radio") a radio mark in the first
// column that follows the adapter's selected row. Header clicks never sort.
#pragma once

#include <QAbstractTableModel>
#include <QPointer>
#include <memory>
#include <string>

#include "ui/framework/Controls.h"

class QTreeView;

namespace stow::ui::qt {

class PartitionItemModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  // Makes the model of `view` and sets the view up: its delegate, header and
  // selection handling.
  static PartitionItemModel* Install(QTreeView* view);

  void SetAdapter(std::shared_ptr<ListAdapter> adapter);
  std::shared_ptr<ListAdapter> Adapter() const { return adapter_; }
  // Selects `row` in the view (-1: none); with `notify` the adapter hears of
  // it as of a user's click on the row.
  void Select(int row, bool notify);
  int SelectedViewRow() const;
  bool RadioMarks() const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // The cells of the row template that column `column` shows, in order.
  static std::vector<std::string> ColumnCells(int column);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  explicit PartitionItemModel(QTreeView* view);
  void OnUserSelected(int row);
  void Refresh();
  const ListCell* Cell(const std::vector<ListCell>& cells, const char* name) const;

  QPointer<QTreeView> view_;
  std::shared_ptr<ListAdapter> adapter_;
  bool selecting_ = false;
};

}  // namespace stow::ui::qt
