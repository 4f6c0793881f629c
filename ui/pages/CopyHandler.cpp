#include "ui/pages/CopyHandler.h"

#include <memory>
#include <utility>

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
          tasks::kCopyPercentFormat,
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

void CCopyHandler::ShowSystem(bool system) { SetCopySystem(system); }

void CCopyHandler::Start() {
  if (!phase_.IsIdle()) {
    Notice("copyThreadIsRunning", LoadText("copyThreadIsRunning"));
    return;
  }
  tasks::TaskDescription task;
  task.kind = engine::TaskKind::kCopy;
  task.source = ComboText(kSource);
  task.destination = ComboText(kDestination);
  RunCourse(std::move(task));
}

}  // namespace stow::ui
