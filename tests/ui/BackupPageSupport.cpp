#include "tests/ui/BackupPageSupport.h"

#include <algorithm>

#include "discovery/Inventory.h"

namespace stow::ui::pagetest {

headless::HeadlessPage& AddBackupPage(headless::HeadlessHost& host) {
  headless::HeadlessPage& page = host.AddPage(CBackupHandler::kPageName);
  page.AddListView(CBackupHandler::kListView);
  page.AddControl(CBackupHandler::kPathEdit);
  page.AddControl(CBackupHandler::kSelectPathButton);
  page.AddControl(CBackupHandler::kStartButton);
  page.AddControl(CBackupHandler::kCancelButton);
  const ProgressControls progress = ProgressControlsFor("backup");
  page.AddProgressBar(progress.bar);
  for (const std::string& text :
       {progress.text, progress.total, progress.elapsed, progress.done, progress.remaining}) {
    page.AddControl(text);
  }
  return page;
}

namespace {

void KeepOnly(discovery::PartitionList& list, const std::set<std::string>& devices) {
  std::erase_if(list, [&](const discovery::PartitionInfo& volume) {
    return std::none_of(devices.begin(), devices.end(), [&](const std::string& device) {
      return volume.volumeName == device || volume.volumeName.starts_with(device + "p");
    });
  });
}

}  // namespace

VolumeSource InventoryOf(std::shared_ptr<std::set<std::string>> devices) {
  return {[devices](discovery::PartitionList& list) {
            discovery::RefreshPartitionList(list);
            KeepOnly(list, *devices);
          },
          [devices](discovery::PartitionList& list) {
            discovery::EnumerateVolumes(list);
            KeepOnly(list, *devices);
          }};
}

}  // namespace stow::ui::pagetest
