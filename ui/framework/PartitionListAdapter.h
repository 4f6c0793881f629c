// The partition list of the pages as a list adapter: the discovery model's rows
// bound to the cells of the row template ("txt_HD_NO", "txt_partion_name",
// "txt_total_size", "txt_available_size", "txt_file_system", "img_file_icon").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/PartitionListModel.h"
#include "ui/framework/Controls.h"

namespace stow::ui {

// The cells of a row of the partition list, by their names in the row template.
inline constexpr const char* kCellHdNumber = "txt_HD_NO";  // text, or the row's radio mark
inline constexpr const char* kCellIcon = "img_file_icon";
inline constexpr const char* kCellName = "txt_partion_name";
inline constexpr const char* kCellTotalSize = "txt_total_size";
inline constexpr const char* kCellFreeSize = "txt_available_size";
inline constexpr const char* kCellFileSystem = "txt_file_system";

// The icon of a volume's row: the running system's own, else the plain one;
// the system's icon is placed with the position and offset given here.
inline constexpr const char* kSystemVolumeIconSkin = "skin.tile.icon1";
inline constexpr const char* kVolumeIconSkin = "skin.tile.icon2";
inline constexpr const char* kSystemVolumeIconPos = "0,|0";
inline constexpr const char* kSystemVolumeIconOffset = "0,-0.5";

class PartitionListAdapter final : public ListAdapter {
 public:
  // The rows of `list`, without the system volume unless `includeSystem`.
  PartitionListAdapter(const discovery::PartitionList& list, bool includeSystem);

  int ItemCount() const override { return model_.GetCount(); }
  std::vector<std::string> ColumnNames() const override;
  std::vector<ListCell> BindRow(int row) const override;
  void OnRowStateChanged(int64_t userData, uint32_t oldState, uint32_t newState) override;
  int SelectedRow() const override { return model_.SelectedRow(); }
  void SetSelectedRow(int row) override { model_.SetSelectedRow(row); }

  // The selected record, or nullptr.
  const discovery::PartitionInfo* SelectedPartition() const { return model_.SelectedPartition(); }
  const discovery::PartitionList& Rows() const { return model_.Rows(); }
  discovery::CPartitionListViewAdapter& Model() { return model_; }

 private:
  discovery::CPartitionListViewAdapter model_;
};

}  // namespace stow::ui
