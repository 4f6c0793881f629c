#include <gtest/gtest.h>

#include "discovery/PartitionListModel.h"

namespace stow::discovery {
namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;

PartitionInfo Volume(const std::string& name, int32_t disk, const std::string& mount,
                     uint8_t system = 0) {
  PartitionInfo r;
  r.volumeName = name;
  r.diskNumber = disk;
  r.mountPath = mount;
  r.systemVolume = system;
  r.fileSystemName = "NTFS";
  return r;
}

TEST(PartitionSizeFormat, SwitchesFromMegabytesToGigabytesAtOneGibibyte) {
  EXPECT_EQ(FormatPartitionSize(1048575 * kKiB), "1024.00 MB");
  EXPECT_EQ(FormatPartitionSize(1048576 * kKiB), "1.00 GB");
  EXPECT_EQ(FormatPartitionSize(500 * kMiB), "500.00 MB");
  EXPECT_EQ(FormatPartitionSize(0), "0.00 MB");
  // Bytes short of a whole KiB are dropped before the division.
  EXPECT_EQ(FormatPartitionSize(kKiB - 1), "0.00 MB");
  EXPECT_EQ(FormatPartitionSize(1536 * kKiB + 1023), "1.50 MB");
  EXPECT_EQ(FormatPartitionSize(2048 * 1024 * kMiB), "2048.00 GB");
  EXPECT_EQ(FormatPartitionSize(UINT64_MAX), "17179869184.00 GB");
}

TEST(PartitionListModel, RowTextsAndIcons) {
  PartitionList list{Volume("/dev/vda", 0, "/", 1), Volume("/dev/dm-0", -1, "/srv"),
                     Volume("/dev/sdb5", 3, "")};
  list[0].totalBytes = 500 * kMiB;
  list[0].totalFreeBytes = 1048576 * kKiB;
  list[0].fileSystemName = "ext4";
  CPartitionListViewAdapter model;
  model.SetRows(list, true);
  ASSERT_EQ(model.GetCount(), 3);

  const PartitionRowView system = model.BindRow(0);
  EXPECT_EQ(system.hdNumber, "HD 0");
  EXPECT_EQ(system.name, "/");
  EXPECT_EQ(system.totalSize, "500.00 MB");
  EXPECT_EQ(system.freeSize, "1.00 GB");
  EXPECT_EQ(system.fileSystem, "ext4");
  EXPECT_TRUE(system.systemVolume);
  EXPECT_EQ(system.userData, 0);

  const PartitionRowView dynamic = model.BindRow(1);
  EXPECT_EQ(dynamic.hdNumber, "Dynamic");
  EXPECT_FALSE(dynamic.systemVolume);
  EXPECT_EQ(dynamic.userData, 1);

  // A volume without a mount path is named by its device.
  const PartitionRowView unmounted = model.BindRow(2);
  EXPECT_EQ(unmounted.hdNumber, "HD 3");
  EXPECT_EQ(unmounted.name, "/dev/sdb5");

  // Out of range rows bind to nothing instead of reading past the rows.
  EXPECT_TRUE(model.BindRow(3).hdNumber.empty());
  EXPECT_TRUE(model.BindRow(-1).hdNumber.empty());
}

TEST(PartitionListModel, ColumnsAndSorting) {
  for (int i = 0; i < kPartitionListColumns; ++i) {
    EXPECT_EQ(CPartitionListViewAdapter::GetColumnName(i), "col" + std::to_string(i + 1));
  }
  EXPECT_FALSE(CPartitionListViewAdapter::OnSort(0));
}

TEST(PartitionListModel, RestoreListLeavesOutTheSystemVolume) {
  const PartitionList list{Volume("/dev/sda1", 0, "/boot"), Volume("/dev/sda2", 0, "/", 1),
                           Volume("/dev/sda3", 0, "/home")};
  CPartitionListViewAdapter withSystem;
  withSystem.SetRows(list, true);
  EXPECT_EQ(withSystem.GetCount(), 3);

  CPartitionListViewAdapter restore;
  restore.SetRows(list, false);
  ASSERT_EQ(restore.GetCount(), 2);
  EXPECT_EQ(restore.Rows()[0].volumeName, "/dev/sda1");
  // Rows after the system volume's position have indices one lower than in the page's list.
  EXPECT_EQ(restore.Rows()[1].volumeName, "/dev/sda3");
  EXPECT_EQ(restore.BindRow(1).name, "/home");
}

class CountingObserver : public PartitionListObserver {
 public:
  void OnInvalidated() override { ++invalidated; }
  void OnChanged() override { ++changed; }
  int invalidated = 0;
  int changed = 0;
};

TEST(PartitionListModel, SelectionFollowsCheckedStateChangesAndCheckBoxClicks) {
  CPartitionListViewAdapter model;
  CountingObserver observer;
  model.AddObserver(&observer);
  model.SetRows({Volume("/dev/a1", 0, ""), Volume("/dev/a2", 0, ""), Volume("/dev/a3", 0, "")},
                true);
  EXPECT_EQ(model.SelectedRow(), kNoSelection);
  EXPECT_EQ(model.SelectedPartition(), nullptr);

  // A state change that leaves the checked bit alone (hover, say) selects nothing.
  model.OnRowStateChanged(2, 0x1, 0x3);
  EXPECT_EQ(model.SelectedRow(), kNoSelection);
  EXPECT_EQ(observer.invalidated, 0);

  model.OnRowStateChanged(2, 0x1, 0x1 | kRowStateChecked);
  EXPECT_EQ(model.SelectedRow(), 2);
  EXPECT_EQ(observer.invalidated, 1);
  EXPECT_TRUE(model.BindRow(2).checked);
  EXPECT_FALSE(model.BindRow(0).checked);
  ASSERT_NE(model.SelectedPartition(), nullptr);
  EXPECT_EQ(model.SelectedPartition()->volumeName, "/dev/a3");

  // Text and radio controls do not select by click; a check box does.
  model.OnHdNumberClicked(0, false);
  EXPECT_EQ(model.SelectedRow(), 2);
  EXPECT_EQ(observer.changed, 0);
  model.OnHdNumberClicked(1, true);
  EXPECT_EQ(model.SelectedRow(), 1);
  EXPECT_EQ(observer.changed, 1);

  // An index at or past the row count is no selection.
  model.SetSelectedRow(3);
  EXPECT_EQ(model.SelectedPartition(), nullptr);

  // New rows: an index kept from the old ones would name another volume.
  model.SetSelectedRow(1);
  model.SetRows({Volume("/dev/b1", 1, "")}, true);
  EXPECT_EQ(model.SelectedRow(), kNoSelection);

  model.RemoveObserver(&observer);
  model.OnHdNumberClicked(0, true);
  EXPECT_EQ(observer.changed, 1);
}

// An observer that unregisters another one while being told must not reach it.
class RemovingObserver : public PartitionListObserver {
 public:
  RemovingObserver(CPartitionListViewAdapter& model, PartitionListObserver* other)
      : model_(model), other_(other) {}
  void OnInvalidated() override { model_.RemoveObserver(other_); }
  void OnChanged() override {}

 private:
  CPartitionListViewAdapter& model_;
  PartitionListObserver* other_;
};

TEST(PartitionListModel, ObserverRemovedDuringNotificationIsNotCalled) {
  CPartitionListViewAdapter model;
  CountingObserver counted;
  RemovingObserver remover(model, &counted);
  model.AddObserver(&remover);
  model.AddObserver(&counted);
  model.AddObserver(&counted);  // registered once only
  model.SetRows({Volume("/dev/a1", 0, "")}, true);
  model.OnRowStateChanged(0, 0, kRowStateChecked);
  EXPECT_EQ(counted.invalidated, 0);
}

}  // namespace
}  // namespace stow::discovery
