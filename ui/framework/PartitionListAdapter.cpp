#include "ui/framework/PartitionListAdapter.h"

#include <limits>

namespace stow::ui {

static_assert(kRowStateChecked == discovery::kRowStateChecked);

PartitionListAdapter::PartitionListAdapter(const discovery::PartitionList& list,
                                           bool includeSystem) {
  model_.SetRows(list, includeSystem);
}

std::vector<std::string> PartitionListAdapter::ColumnNames() const {
  std::vector<std::string> names;
  names.reserve(discovery::kPartitionListColumns);
  for (int column = 0; column < discovery::kPartitionListColumns; ++column) {
    names.push_back(discovery::CPartitionListViewAdapter::GetColumnName(column));
  }
  return names;
}

std::vector<ListCell> PartitionListAdapter::BindRow(int row) const {
  const discovery::PartitionRowView view = model_.BindRow(row);
  ListCell number{kCellHdNumber, view.hdNumber, view.checked, view.userData, {}};
  ListCell icon{kCellIcon, {}, false, 0, {}};
  if (view.systemVolume) {
    icon.attributes = {{"skin", kSystemVolumeIconSkin},
                       {"pos", kSystemVolumeIconPos},
                       {"offset", kSystemVolumeIconOffset}};
  } else {
    icon.attributes = {{"skin", kVolumeIconSkin}};
  }
  return {number,
          {kCellName, view.name, false, 0, {}},
          {kCellTotalSize, view.totalSize, false, 0, {}},
          {kCellFreeSize, view.freeSize, false, 0, {}},
          {kCellFileSystem, view.fileSystem, false, 0, {}},
          icon};
}

void PartitionListAdapter::OnRowStateChanged(int64_t userData, uint32_t oldState,
                                             uint32_t newState) {
  if (userData < 0 || userData > std::numeric_limits<int>::max()) return;
  model_.OnRowStateChanged(static_cast<int>(userData), oldState, newState);
}

}  // namespace stow::ui
