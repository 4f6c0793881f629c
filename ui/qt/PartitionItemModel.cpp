#include "ui/qt/PartitionItemModel.h"

#include <QApplication>
#include <QEvent>
#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTreeView>
#include <array>

#include "ui/framework/PartitionListAdapter.h"
#include "ui/qt/Scale.h"
#include "ui/qt/Skins.h"
#include "ui/qt/Texts.h"

namespace stow::ui::qt {
namespace {

constexpr int kRowHeightDp = 38;
constexpr int kIconDp = 24;
constexpr std::array<int, 5> kColumnWidthsDp = {100, 120, 100, 100, 100};
constexpr int kCheckedRole = Qt::UserRole + 1;

// Draws the first column's radio mark before its text, as the row template's
// radio button does, and gives every row its height.
class RowDelegate final : public QStyledItemDelegate {
 public:
  explicit RowDelegate(QTreeView* view) : QStyledItemDelegate(view), view_(view) {}

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(Dp(view_, kRowHeightDp));
    return size;
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    const QVariant checked = index.data(kCheckedRole);
    if (index.column() != 0 || !checked.isValid()) {
      QStyledItemDelegate::paint(painter, option, index);
      return;
    }
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    const QString text = item.text;
    item.text.clear();
    QStyle* style = view_->style();
    style->drawControl(QStyle::CE_ItemViewItem, &item, painter, view_);
    const int mark = Dp(view_, 16);
    const QRect markRect(option.rect.left() + Dp(view_, 8),
                         option.rect.top() + (option.rect.height() - mark) / 2, mark, mark);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(QColor(checked.toBool() ? 0x0280ff : 0x9aa8ba), 1.5));
    painter->setBrush(Qt::white);
    painter->drawEllipse(QRectF(markRect).adjusted(0.75, 0.75, -0.75, -0.75));
    if (checked.toBool()) {
      painter->setPen(Qt::NoPen);
      painter->setBrush(QColor(0x0280ff));
      painter->drawEllipse(QRectF(markRect).adjusted(4, 4, -4, -4));
    }
    painter->setPen(QColor(0x333333));
    painter->drawText(
        option.rect.adjusted(markRect.right() + Dp(view_, 8) - option.rect.left(), 0, 0, 0),
        Qt::AlignLeft | Qt::AlignVCenter, text);
    painter->restore();
  }

 private:
  QTreeView* view_;
};

}  // namespace

std::vector<std::string> PartitionItemModel::ColumnCells(int column) {
  switch (column) {
    case 0:
      return {kCellHdNumber};
    case 1:
      return {kCellIcon, kCellName};
    case 2:
      return {kCellTotalSize};
    case 3:
      return {kCellFreeSize};
    case 4:
      return {kCellFileSystem};
    default:
      return {};
  }
}

PartitionItemModel::PartitionItemModel(QTreeView* view) : QAbstractTableModel(view), view_(view) {}

PartitionItemModel* PartitionItemModel::Install(QTreeView* view) {
  auto* model = new PartitionItemModel(view);
  view->setModel(model);
  view->setItemDelegate(new RowDelegate(view));
  view->setRootIsDecorated(false);
  view->setSortingEnabled(false);
  view->setUniformRowHeights(true);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // A long mount path keeps its start and its end ("/mnt/…/windows") in the
  // column's designed width; its tooltip gives it whole.
  view->setTextElideMode(Qt::ElideMiddle);
  view->setIconSize(QSize(Dp(view, kIconDp), Dp(view, kIconDp)));
  QHeaderView* header = view->header();
  header->setSectionsClickable(false);
  header->setSectionsMovable(false);
  header->setSortIndicatorShown(false);
  header->setStretchLastSection(true);
  for (int column = 0; column < static_cast<int>(kColumnWidthsDp.size()); ++column) {
    header->resizeSection(column, Dp(view, kColumnWidthsDp[static_cast<size_t>(column)]));
  }
  connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, model,
          [model](const QModelIndex& current) { model->OnUserSelected(current.row()); });
  view->installEventFilter(model);
  return model;
}

bool PartitionItemModel::RadioMarks() const {
  return view_ && view_->property("rowMark").toString() == QLatin1StringView("radio");
}

void PartitionItemModel::SetAdapter(std::shared_ptr<ListAdapter> adapter) {
  selecting_ = true;
  beginResetModel();
  adapter_ = std::move(adapter);
  endResetModel();
  if (view_) view_->selectionModel()->clearSelection();
  selecting_ = false;
}

void PartitionItemModel::Select(int row, bool notify) {
  if (!view_) return;
  selecting_ = true;
  const bool valid = row >= 0 && row < rowCount();
  if (valid) {
    view_->selectionModel()->setCurrentIndex(
        index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  } else {
    view_->selectionModel()->clearSelection();
  }
  selecting_ = false;
  if (notify && valid) OnUserSelected(row);
}

int PartitionItemModel::SelectedViewRow() const {
  if (!view_) return ListView::kNoRow;
  const QModelIndexList rows = view_->selectionModel()->selectedRows();
  return rows.isEmpty() ? ListView::kNoRow : rows.front().row();
}

void PartitionItemModel::OnUserSelected(int row) {
  if (selecting_ || !adapter_ || row < 0 || row >= rowCount()) return;
  // The row's radio mark was set: its state change reaches the adapter with
  // the user data of the row's number cell.
  const std::vector<ListCell> cells = adapter_->BindRow(row);
  const ListCell* number = Cell(cells, kCellHdNumber);
  adapter_->OnRowStateChanged(number != nullptr ? number->userData : row, 0, kRowStateChecked);
  Refresh();
}

void PartitionItemModel::Refresh() {
  if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

int PartitionItemModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() || !adapter_ ? 0 : adapter_->ItemCount();
}

int PartitionItemModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(kColumnWidthsDp.size());
}

const ListCell* PartitionItemModel::Cell(const std::vector<ListCell>& cells,
                                         const char* name) const {
  for (const ListCell& cell : cells) {
    if (cell.control == name) return &cell;
  }
  return nullptr;
}

QVariant PartitionItemModel::data(const QModelIndex& index, int role) const {
  if (!adapter_ || !index.isValid() || index.row() >= adapter_->ItemCount()) return {};
  const std::vector<ListCell> cells = adapter_->BindRow(index.row());
  const std::vector<std::string> names = ColumnCells(index.column());
  if (role == Qt::DisplayRole) {
    const ListCell* cell = Cell(cells, names.back().c_str());
    if (cell == nullptr) return {};
    const QString text = QString::fromStdString(cell->text);
    return index.column() == 0 ? TranslateText("dlg_main", text) : text;
  }
  if (role == Qt::ToolTipRole && index.column() == 1) {
    const ListCell* cell = Cell(cells, names.back().c_str());
    return cell == nullptr ? QVariant() : QVariant(QString::fromStdString(cell->text));
  }
  if (role == Qt::DecorationRole && index.column() == 1) {
    const ListCell* icon = Cell(cells, kCellIcon);
    if (icon == nullptr) return {};
    for (const auto& [name, value] : icon->attributes) {
      if (name == "skin") {
        const int px = Dp(view_, kIconDp);
        return SkinPixmap(QString::fromStdString(value), QSize(px, px),
                          view_ ? view_->devicePixelRatioF() : 1.0);
      }
    }
    return {};
  }
  if (role == kCheckedRole && index.column() == 0 && RadioMarks()) {
    const ListCell* number = Cell(cells, kCellHdNumber);
    return number != nullptr && number->checked;
  }
  if (role == Qt::ForegroundRole) return QColor(0x333333);
  return {};
}

QVariant PartitionItemModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section < 0 || section >= columnCount()) return {};
  // The column titles are the string table's "col1".."col5", translated.
  return TranslateText("dlg_main", QStringLiteral("@string/col%1").arg(section + 1));
}

bool PartitionItemModel::eventFilter(QObject* watched, QEvent* event) {
  if (watched == view_ && event->type() == QEvent::LanguageChange) {
    emit headerDataChanged(Qt::Horizontal, 0, columnCount() - 1);
    Refresh();
  }
  return QAbstractTableModel::eventFilter(watched, event);
}

}  // namespace stow::ui::qt
