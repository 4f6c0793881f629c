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
  ListCell number{"txt_HD_NO", view.hdNumber, view.checked, view.userData, {}};
  ListCell icon{"img_file_icon", {}, false, 0, {{"skin", view.iconSkin}}};
  if (!view.iconPos.empty()) icon.attributes.emplace_back("pos", view.iconPos);
  if (!view.iconOffset.empty()) icon.attributes.emplace_back("offset", view.iconOffset);
  return {number,
          {"txt_partion_name", view.name, false, 0, {}},
          {"txt_total_size", view.totalSize, false, 0, {}},
          {"txt_available_size", view.freeSize, false, 0, {}},
          {"txt_file_system", view.fileSystem, false, 0, {}},
          icon};
}

void PartitionListAdapter::OnRowStateChanged(int64_t userData, uint32_t oldState,
                                             uint32_t newState) {
  if (userData < 0 || userData > std::numeric_limits<int>::max()) return;
  model_.OnRowStateChanged(static_cast<int>(userData), oldState, newState);
}

}  // namespace stow::ui
