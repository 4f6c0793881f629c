// The controller of the restore page ("page_restore"): the image path with the
// image-holds-a-system flag, the list of destinations (every volume but the
// running system's), the ordered rules of the start with their messages and
// questions (the image's structure and checksum file checked as the command
// line checks them), the split of a boot partition when a system goes to a
// GPT disk without one, and the restore itself through the same course as the
// command line (tasks/DestinationCourse.h); DestinationPage follows it to its end.
#pragma once

#include <memory>
#include <string>

#include "ui/framework/PartitionListAdapter.h"
#include "ui/pages/DestinationPage.h"

namespace stow::ui {

class CRestoreHandler final : public DestinationPage {
 public:
  static constexpr const char* kPageName = "page_restore";
  static constexpr const char* kListView = "disk_list_view_restore";
  static constexpr const char* kPathEdit = "edit_restore_path";
  static constexpr const char* kSelectFileButton = "btn_sel_restore_file";
  static constexpr const char* kImageSystem = "check_system_restore";
  static constexpr const char* kStartButton = "btn_start_restore";
  static constexpr const char* kCancelButton = "btn_cancel_restore";
  static constexpr int kProgressTimer = 2;

  CRestoreHandler(UiHost& host, TaskPhase& phase, engine::TaskState& state,
                  DestinationPageParts parts = {});

  // The image-holds-a-system flag as the page holds it.
  bool ImageSystem() const;
  // Takes `path` as the image, as the open dialog does when a file is chosen.
  void TakeImagePath(const std::string& path);

 protected:
  void FillControls() override;
  void OnPageCommand(const std::string& control) override;
  void Start() override;
  void ShowSystem(bool system) override;

 private:
  void SetImageSystem(bool system);
  std::string ImagePath() const;
  std::string ChosenDestination() const;

  std::shared_ptr<PartitionListAdapter> adapter_;
};

}  // namespace stow::ui
