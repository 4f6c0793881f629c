// The controller of the copy page ("page_copy"): the source and destination
// combo boxes filled from the inventory and the copy-system flag. Its start
// runs the copy's course, the same as the command line's (tasks/Courses.h),
// through DestinationPage: the rules with their messages and questions, the
// split of a boot partition when a system goes to a GPT disk without one, the
// copy and what follows it.
#pragma once

#include <string>

#include "ui/pages/DestinationPage.h"

namespace stow::ui {

class CCopyHandler final : public DestinationPage {
 public:
  static constexpr const char* kPageName = "page_copy";
  static constexpr const char* kListView = "disk_list_view_copy";
  static constexpr const char* kSource = "cbx_source";
  static constexpr const char* kDestination = "cbx_destination";
  static constexpr const char* kCopySystem = "check_system";
  static constexpr const char* kStartButton = "btn_start_copy";
  static constexpr const char* kCancelButton = "btn_cancel_copy";
  static constexpr int kProgressTimer = 1;

  CCopyHandler(UiHost& host, TaskPhase& phase, engine::TaskState& state,
               DestinationPageParts parts = {});

  // The copy-system flag as the page holds it.
  bool CopySystem() const;

 protected:
  void FillControls() override;
  void OnPageSelectionChanged(const std::string& control) override;
  void Start() override;
  void ShowSystem(bool system) override;

 private:
  void SetCopySystem(bool system);
  std::string ComboText(const char* name) const;
};

}  // namespace stow::ui
