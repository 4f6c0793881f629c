#include "ui/pages/RestoreHandler.h"

#include <utility>

#include "engine/image/ImageFormat.h"
#include "support/StringTable.h"

namespace stow::ui {
namespace {

DestinationPageKind RestoreKind() {
  return {CRestoreHandler::kPageName,
          "restore",
          Phase::kRestore,
          CRestoreHandler::kProgressTimer,
          tasks::kBackupPercentFormat,
          CRestoreHandler::kStartButton,
          CRestoreHandler::kCancelButton,
          {CRestoreHandler::kPathEdit, CRestoreHandler::kSelectFileButton,
           CRestoreHandler::kImageSystem, CRestoreHandler::kListView}};
}

// The image's header when it is one this program reads; its Windows flag says
// whether it holds a system.
bool ImageHoldsSystem(const std::string& path) {
  engine::ImageHeaderBytes bytes{};
  if (path.empty() || !engine::CheckImageHeader(bytes, path).Ok()) return false;
  return engine::ImageHeader::Decode(bytes).windows != 0;
}

}  // namespace

CRestoreHandler::CRestoreHandler(UiHost& host, TaskPhase& phase, engine::TaskState& state,
                                 DestinationPageParts parts)
    : DestinationPage(host, phase, state, std::move(parts), RestoreKind()) {}

bool CRestoreHandler::ImageSystem() const {
  const Control* check = page_ != nullptr ? page_->Find(kImageSystem) : nullptr;
  return check != nullptr && check->IsChecked();
}

void CRestoreHandler::SetImageSystem(bool system) {
  if (Control* check = page_->Find(kImageSystem)) check->SetChecked(system);
}

std::string CRestoreHandler::ImagePath() const {
  const Control* edit = page_->Find(kPathEdit);
  return edit != nullptr ? edit->Text() : std::string();
}

void CRestoreHandler::TakeImagePath(const std::string& path) {
  if (Control* edit = page_->Find(kPathEdit)) edit->SetText(path);
  SetImageSystem(ImageHoldsSystem(path));
}

void CRestoreHandler::FillControls() {
  // The running system's volume is never a destination.
  adapter_ = std::make_shared<PartitionListAdapter>(volumes_, false);
  if (ListView* list = page_->FindListView(kListView)) list->SetAdapter(adapter_);
}

void CRestoreHandler::OnPageCommand(const std::string& control) {
  if (control != kSelectFileButton) return;
  OpenFileRequest request;
  request.suffix = LoadText("fileSuffix");
  if (const std::optional<std::string> path = host_.ChooseOpenFile(request)) TakeImagePath(*path);
}

std::string CRestoreHandler::ChosenDestination() const {
  const discovery::PartitionInfo* chosen = adapter_ ? adapter_->SelectedPartition() : nullptr;
  return chosen != nullptr ? chosen->volumeName : std::string();
}

void CRestoreHandler::ShowSystem(bool system) { SetImageSystem(system); }

void CRestoreHandler::Start() {
  if (!phase_.IsIdle()) {
    Notice("restoreThreadIsRunning", LoadText("restoreThreadIsRunning"));
    return;
  }
  const std::string image = ImagePath();
  // A path this short ("D:\\") names no image file.
  if (image.size() <= kShortestPathRefused) {
    Notice("selectBackupPath", LoadText("selectBackupPath"));
    return;
  }
  tasks::TaskDescription task;
  task.kind = engine::TaskKind::kRestore;
  task.image = image;
  task.destination = ChosenDestination();
  RunCourse(std::move(task));
}

}  // namespace stow::ui
