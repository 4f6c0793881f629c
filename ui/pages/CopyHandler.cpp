#include "ui/pages/CopyHandler.h"

#include <memory>
#include <utility>

#include "bootrepair/WindowsVolume.h"
#include "support/StringTable.h"
#include "tasks/DestinationChoice.h"
#include "ui/framework/PartitionListAdapter.h"

namespace stow::ui {
namespace {

DestinationPageKind CopyKind() {
  return {CCopyHandler::kPageName,
          "copy",
          Phase::kCopy,
          CCopyHandler::kProgressTimer,
          CCopyHandler::kBootRepairTimer,
          CCopyHandler::kDiskCheckTimer,
          tasks::kCopyPercentFormat,
          "copyThreadIsRunning",
          "confirmcopy",
          CCopyHandler::kStartButton,
          CCopyHandler::kCancelButton,
          {CCopyHandler::kDestination, CCopyHandler::kSource, CCopyHandler::kCopySystem}};
}

}  // namespace

CCopyHandler::CCopyHandler(UiHost& host, TaskPhase& phase, engine::TaskState& state,
                           DestinationPageParts parts)
    : DestinationPage(host, phase, state, std::move(parts), CopyKind()) {}

bool CCopyHandler::CopySystem() const {
  const Control* check = page_ != nullptr ? page_->Find(kCopySystem) : nullptr;
  return check != nullptr && check->IsChecked();
}

void CCopyHandler::SetCopySystem(bool system) {
  if (Control* check = page_->Find(kCopySystem)) check->SetChecked(system);
}

std::string CCopyHandler::ComboText(const char* name) const {
  const ComboBox* combo = page_->FindComboBox(name);
  if (combo == nullptr || combo->CurSel() == ComboBox::kNoItem) return {};
  return combo->ItemText(combo->CurSel());
}

bool CCopyHandler::SelectItem(const char* name, const std::string& text) {
  ComboBox* combo = page_->FindComboBox(name);
  if (combo == nullptr) return false;
  for (int i = 0; i < combo->ItemCount(); ++i) {
    if (combo->ItemText(i) == text) {
      combo->SetCurSel(i);
      return true;
    }
  }
  return false;
}

void CCopyHandler::FillControls() {
  if (ListView* list = page_->FindListView(kListView)) {
    list->SetAdapter(std::make_shared<PartitionListAdapter>(volumes_, true));
  }
  // Every volume may be a source; the running system's is proposed (the last
  // one when several claim it, the first item when none does).
  if (ComboBox* source = page_->FindComboBox(kSource)) {
    source->ResetContent();
    int proposed = 0;
    for (const discovery::PartitionInfo& info : volumes_) {
      if (info.volumeName.empty()) continue;
      if (info.systemVolume != 0) proposed = source->ItemCount();
      source->InsertItem(source->ItemCount(), info.volumeName);
    }
    source->SetCurSel(source->ItemCount() > 0 ? proposed : ComboBox::kNoItem);
  }
  // The running system's volume is never a destination.
  if (ComboBox* destination = page_->FindComboBox(kDestination)) {
    destination->ResetContent();
    for (const discovery::PartitionInfo& info : volumes_) {
      if (info.volumeName.empty() || info.systemVolume != 0) continue;
      destination->InsertItem(destination->ItemCount(), info.volumeName);
    }
    destination->SetCurSel(ComboBox::kNoItem);
  }
  OnPageSelectionChanged(kSource);
}

void CCopyHandler::OnPageSelectionChanged(const std::string& control) {
  if (control != kSource) return;
  const discovery::PartitionInfo* source = tasks::FindPartition(volumes_, ComboText(kSource));
  SetCopySystem(source != nullptr && source->systemVolume != 0);
}

std::string CCopyHandler::ChosenDestination() const { return ComboText(kDestination); }

bool CCopyHandler::ChooseAgain(const std::string& destination) {
  const bool source = SelectItem(kSource, splitSource_);
  return SelectItem(kDestination, destination) && source;
}

void CCopyHandler::Start() {
  if (!phase_.IsIdle()) {
    Notice("copyThreadIsRunning", LoadText("copyThreadIsRunning"));
    return;
  }
  const std::string source = ComboText(kSource);
  const std::string destination = ComboText(kDestination);
  auto course = std::make_unique<tasks::CopyCourse>();
  if (tasks::Refusal r = course->CheckChoice(state_, source, destination); r.Refused()) {
    Notice(r);
    return;
  }
  if (RefuseChangedVolumes()) return;
  // The rules on the volumes themselves: the same as the command line's.
  const tasks::CourseResult checked = course->Check(state_, source, destination, {});
  if (checked.end != tasks::CourseEnd::kChecked) {
    Notice(checked.refusal);
    return;
  }
  bool system = bootrepair::IsWindowsVolume(platform::VolumeId(source));
  SetCopySystem(system);
  const discovery::PartitionInfo* target = tasks::FindPartition(volumes_, destination);
  if (target == nullptr) {
    Notice("getpartitionerror", LoadText("getpartitionerror"));
    return;
  }
  if (tasks::CannotBoot(*target)) {
    if (!Ask("cannotAsSystem", LoadText("cannotAsSystem"))) return;
    system = false;
    SetCopySystem(false);
  }
  if (system && tasks::OnRunningSystemDisk(volumes_, *target)) {
    Notice("copySysCanNotCurSysDisk", LoadText("copySysCanNotCurSysDisk"));
    return;
  }
  if (system && tasks::NeedsBootPartitionSplit(*target)) {
    if (!Ask("GPTsplitFAT", LoadText("GPTsplitFAT"))) return;
    // The split changes the destination's partition: the course lets it go.
    course.reset();
    splitSource_ = source;
    SplitAndRestart(*target, false);
    return;
  }
  Confirm(std::move(course));
}

}  // namespace stow::ui
