#include "ui/framework/headless/HeadlessHost.h"

#include <algorithm>
#include <thread>

namespace stow::ui::headless {
namespace {

// The clock starts well above 0: the progress step takes a time of 0 for "none".
constexpr uint64_t kClockStartMs = 100'000;
constexpr uint64_t kMsPerSecond = 1000;

}  // namespace

HeadlessPage::HeadlessPage(HeadlessHost& host, std::string name, EventSender identity)
    : host_(host), name_(std::move(name)), identity_(identity) {}

Control* HeadlessPage::Find(std::string_view name) {
  const auto found = controls_.find(name);
  return found == controls_.end() ? nullptr : found->second.get();
}

void HeadlessPage::StartTimer(int id, int periodMs) { host_.StartTimer(*this, id, periodMs); }
void HeadlessPage::StopTimer(int id) { host_.StopTimer(*this, id); }
bool HeadlessPage::IsTimerRunning(int id) const { return host_.IsTimerRunning(*this, id); }

HeadlessControl& HeadlessPage::AddControl(const std::string& name) {
  auto& slot = controls_[name];
  slot = std::make_unique<HeadlessControl>(name);
  return *slot;
}

HeadlessComboBox& HeadlessPage::AddComboBox(const std::string& name) {
  auto control = std::make_unique<HeadlessComboBox>(name);
  HeadlessComboBox& combo = *control;
  controls_[name] = std::move(control);
  return combo;
}

HeadlessListView& HeadlessPage::AddListView(const std::string& name) {
  auto control = std::make_unique<HeadlessListView>(name);
  HeadlessListView& list = *control;
  controls_[name] = std::move(control);
  return list;
}

HeadlessProgressBar& HeadlessPage::AddProgressBar(const std::string& name) {
  auto control = std::make_unique<HeadlessProgressBar>(name);
  HeadlessProgressBar& bar = *control;
  controls_[name] = std::move(control);
  return bar;
}

HeadlessControl& HeadlessPage::Get(const std::string& name) {
  const auto found = controls_.find(name);
  if (found == controls_.end()) {
    ADD_FAILURE() << "page " << name_ << " has no control " << name;
    static HeadlessControl missing("missing");
    return missing;
  }
  return *found->second;
}

namespace {

template <typename T>
T& GetAs(HeadlessPage& page, HeadlessControl& control, const std::string& name, const char* kind) {
  if (auto* typed = dynamic_cast<T*>(&control)) return *typed;
  ADD_FAILURE() << "control " << name << " of page " << page.Name() << " is not a " << kind;
  static T missing("missing");
  return missing;
}

}  // namespace

HeadlessComboBox& HeadlessPage::GetComboBox(const std::string& name) {
  return GetAs<HeadlessComboBox>(*this, Get(name), name, "combo box");
}

HeadlessListView& HeadlessPage::GetListView(const std::string& name) {
  return GetAs<HeadlessListView>(*this, Get(name), name, "list view");
}

HeadlessProgressBar& HeadlessPage::GetProgressBar(const std::string& name) {
  return GetAs<HeadlessProgressBar>(*this, Get(name), name, "progress bar");
}

testing::AssertionResult HeadlessPage::Usable(const std::string& control) const {
  const auto found = controls_.find(control);
  if (found == controls_.end()) {
    return testing::AssertionFailure() << "page " << name_ << " has no control " << control;
  }
  if (locked_) return testing::AssertionFailure() << "page " << name_ << " is locked";
  if (!found->second->IsVisible()) {
    return testing::AssertionFailure() << control << " is hidden";
  }
  if (!found->second->IsEnabled()) {
    return testing::AssertionFailure() << control << " is disabled";
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult HeadlessPage::Click(const std::string& control) {
  if (auto usable = Usable(control); !usable) return usable;
  DeliverCommand(control);
  return testing::AssertionSuccess();
}

testing::AssertionResult HeadlessPage::TypeText(const std::string& control,
                                                const std::string& text) {
  if (auto usable = Usable(control); !usable) return usable;
  controls_.find(control)->second->SetText(text);
  return testing::AssertionSuccess();
}

testing::AssertionResult HeadlessPage::ChooseItem(const std::string& comboBox, int index) {
  if (auto usable = Usable(comboBox); !usable) return usable;
  auto* combo = dynamic_cast<HeadlessComboBox*>(controls_.find(comboBox)->second.get());
  if (combo == nullptr) return testing::AssertionFailure() << comboBox << " is not a combo box";
  if (index < 0 || index >= combo->ItemCount()) {
    return testing::AssertionFailure()
           << comboBox << " has " << combo->ItemCount() << " items, not item " << index;
  }
  combo->SetCurSel(index);
  DeliverSelectionChanged(comboBox);
  return testing::AssertionSuccess();
}

testing::AssertionResult HeadlessPage::ChooseRow(const std::string& listView, int row) {
  if (auto usable = Usable(listView); !usable) return usable;
  auto* list = dynamic_cast<HeadlessListView*>(controls_.find(listView)->second.get());
  if (list == nullptr) return testing::AssertionFailure() << listView << " is not a list view";
  const int count = list->Adapter() ? list->Adapter()->ItemCount() : 0;
  if (row < 0 || row >= count) {
    return testing::AssertionFailure() << listView << " has " << count << " rows, not row " << row;
  }
  list->SetSel(row, true);
  return testing::AssertionSuccess();
}

HeadlessHost::HeadlessHost() : nowMs_(kClockStartMs) {}

HeadlessHost::~HeadlessHost() {
  for (const auto& [id, queued] : answers_) {
    if (!queued.empty()) {
      ADD_FAILURE() << queued.size() << " answer(s) queued for question " << id
                    << " were never used: the question did not come";
    }
  }
}

HeadlessPage& HeadlessHost::AddPage(const std::string& name) {
  pages_.push_back(std::make_unique<HeadlessPage>(*this, name, pages_.size() + 1));
  return *pages_.back();
}

HeadlessPage& HeadlessHost::GetPage(const std::string& name) {
  Page* page = FindPage(name);
  if (page == nullptr) {
    ADD_FAILURE() << "no page " << name;
    return AddPage(name);
  }
  return static_cast<HeadlessPage&>(*page);
}

Page* HeadlessHost::FindPage(std::string_view name) {
  for (const auto& page : pages_) {
    if (page->Name() == name) return page.get();
  }
  return nullptr;
}

ShownDialog& HeadlessHost::Record(ShownDialog dialog) {
  shown_.push_back(std::move(dialog));
  return shown_.back();
}

int HeadlessHost::ShowMessageBox(const MessageRequest& request) {
  ShownDialog dialog{false, request.id, request.text, request.caption, request.type, {}, kIdOk};
  const std::vector<MessageButton> buttons = MessageBoxButtons(request.type);
  auto queued = answers_.find(request.id);
  if (queued != answers_.end() && !queued->second.empty()) {
    dialog.result = queued->second.front();
    queued->second.pop_front();
  } else if (buttons.size() > 1) {
    ADD_FAILURE() << "question " << request.id << " came with no answer queued: " << request.text;
    dialog.result = kIdCancel;
  }
  const ShownDialog shown = Record(std::move(dialog));
  if (dialogHook_) dialogHook_(shown);
  return shown.result;
}

int HeadlessHost::ShowResultDialog(const ResultRequest& request) {
  const ShownDialog shown =
      Record({true, {}, request.text, request.caption, kMbOk, request.imageSkin, kIdOk});
  if (dialogHook_) dialogHook_(shown);
  return kIdOk;
}

std::optional<std::string> HeadlessHost::ChooseSaveFile(const SaveFileRequest& request) {
  saveRequests_.push_back(request);
  if (saveFiles_.empty()) return std::nullopt;
  std::optional<std::string> path = std::move(saveFiles_.front());
  saveFiles_.pop_front();
  return path;
}

uint32_t HeadlessHost::NowSeconds() const { return static_cast<uint32_t>(nowMs_ / kMsPerSecond); }

void HeadlessHost::QueueAnswer(const std::string& questionId, int result) {
  answers_[questionId].push_back(result);
}

void HeadlessHost::QueueSaveFile(std::optional<std::string> path) {
  saveFiles_.push_back(std::move(path));
}

std::optional<std::string> HeadlessHost::ChooseOpenFile(const OpenFileRequest& request) {
  openRequests_.push_back(request);
  if (openFiles_.empty()) return std::nullopt;
  std::optional<std::string> path = std::move(openFiles_.front());
  openFiles_.pop_front();
  return path;
}

void HeadlessHost::QueueOpenFile(std::optional<std::string> path) {
  openFiles_.push_back(std::move(path));
}

std::vector<std::string> HeadlessHost::ShownIds() const {
  std::vector<std::string> ids;
  for (const ShownDialog& dialog : shown_)
    ids.push_back(dialog.resultDialog ? "result" : dialog.id);
  return ids;
}

void HeadlessHost::StartTimer(HeadlessPage& page, int id, int periodMs) {
  StopTimer(page, id);
  const uint64_t period = periodMs > 0 ? static_cast<uint64_t>(periodMs) : 1;
  timers_.push_back({&page, id, period, nowMs_ + period, timerOrder_++});
}

void HeadlessHost::StopTimer(const HeadlessPage& page, int id) {
  std::erase_if(timers_, [&](const Timer& t) { return t.page == &page && t.id == id; });
}

bool HeadlessHost::IsTimerRunning(const HeadlessPage& page, int id) const {
  return std::any_of(timers_.begin(), timers_.end(),
                     [&](const Timer& t) { return t.page == &page && t.id == id; });
}

void HeadlessHost::Advance(std::chrono::milliseconds ms) {
  const uint64_t target = nowMs_ + static_cast<uint64_t>(std::max<int64_t>(ms.count(), 0));
  for (;;) {
    // The earliest due timer; a tick may start or stop timers, so look again each time.
    auto next =
        std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
          return a.dueMs != b.dueMs ? a.dueMs < b.dueMs : a.order < b.order;
        });
    if (next == timers_.end() || next->dueMs > target) break;
    nowMs_ = next->dueMs;
    next->dueMs += next->periodMs;
    HeadlessPage* page = next->page;
    const int id = next->id;
    page->DeliverTimer(id);
  }
  nowMs_ = target;
}

testing::AssertionResult HeadlessHost::PumpUntil(const std::function<bool()>& done,
                                                 std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Pump();
    if (done()) return testing::AssertionSuccess();
    if (std::chrono::steady_clock::now() > end) {
      return testing::AssertionFailure() << "nothing ended within " << timeout.count() << " ms";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace stow::ui::headless
