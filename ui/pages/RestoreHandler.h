// The controller of the restore page ("page_restore"): the image path with the
// image-holds-a-system flag and the list of destinations (every volume but the
// running system's). Its start runs the restore's course, the same as the
// command line's (tasks/Courses.h), through DestinationPage: the rules with
// their messages and questions (the image's structure and checksum file
// checked), the split of a boot partition when a system goes to a GPT disk
// without one, the restore and what follows it.
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
