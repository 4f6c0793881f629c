#include "discovery/PartitionListModel.h"

#include <algorithm>
#include <cstdio>

namespace stow::discovery {
namespace {

constexpr uint64_t kBytesPerKiB = 1024;
constexpr uint64_t kKiBPerGiB = uint64_t{1024} * 1024;
constexpr float kUnitStep = 1024.0f;

std::string Printf(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string FormatPartitionSize(uint64_t bytes) {
  const uint64_t kib = bytes / kBytesPerKiB;
  // The size is shown through a single-precision value, as the list always has.
  const auto value = static_cast<float>(kib);
  if (kib < kKiBPerGiB) return Printf("%0.2f MB", static_cast<double>(value / kUnitStep));
  return Printf("%0.2f GB", static_cast<double>(value / kUnitStep / kUnitStep));
}

void CPartitionListViewAdapter::SetRows(const PartitionList& list, bool includeSystem) {
  rows_.clear();
  for (const PartitionInfo& r : list) {
    if (!includeSystem && r.systemVolume != 0) continue;
    rows_.push_back(r);
  }
  selectedRow_ = kNoSelection;
}

std::string CPartitionListViewAdapter::GetColumnName(int column) {
  return "col" + std::to_string(column + 1);
}

PartitionRowView CPartitionListViewAdapter::BindRow(int row) const {
  PartitionRowView view;
  if (row < 0 || row >= GetCount()) return view;
  const PartitionInfo& r = rows_[static_cast<size_t>(row)];
  view.name = r.mountPath.empty() ? r.volumeName : r.mountPath;
  view.totalSize = FormatPartitionSize(r.totalBytes);
  view.freeSize = FormatPartitionSize(r.totalFreeBytes);
  view.fileSystem = r.fileSystemName;
  view.hdNumber = r.diskNumber < 0 ? "Dynamic" : "HD " + std::to_string(r.diskNumber);
  view.systemVolume = r.systemVolume != 0;
  view.userData = row;
  view.checked = row == selectedRow_;
  return view;
}

void CPartitionListViewAdapter::OnRowStateChanged(int userData, uint32_t oldState,
                                                  uint32_t newState) {
  if (((oldState ^ newState) & kRowStateChecked) == 0) return;
  selectedRow_ = userData;
  NotifyInvalidated();
}

void CPartitionListViewAdapter::OnHdNumberClicked(int userData, bool isCheckBox) {
  if (!isCheckBox) return;
  selectedRow_ = userData;
  NotifyChanged();
}

const PartitionInfo* CPartitionListViewAdapter::SelectedPartition() const {
  if (selectedRow_ < 0 || selectedRow_ >= GetCount()) return nullptr;
  return &rows_[static_cast<size_t>(selectedRow_)];
}

void CPartitionListViewAdapter::AddObserver(PartitionListObserver* observer) {
  if (observer && !IsObserver(observer)) {
    observers_.push_back(observer);
  }
}

void CPartitionListViewAdapter::RemoveObserver(PartitionListObserver* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void CPartitionListViewAdapter::NotifyInvalidated() {
  // Over a copy: an observer may unregister itself, or another one, while being told.
  const std::vector<PartitionListObserver*> observers = observers_;
  for (PartitionListObserver* o : observers) {
    if (IsObserver(o)) o->OnInvalidated();
  }
}

void CPartitionListViewAdapter::NotifyChanged() {
  const std::vector<PartitionListObserver*> observers = observers_;
  for (PartitionListObserver* o : observers) {
    if (IsObserver(o)) o->OnChanged();
  }
}

bool CPartitionListViewAdapter::IsObserver(const PartitionListObserver* observer) const {
  return std::find(observers_.begin(), observers_.end(), observer) != observers_.end();
}

}  // namespace stow::discovery
