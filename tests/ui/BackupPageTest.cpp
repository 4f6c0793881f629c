// The backup page driven as a user drives it, through the headless window, on
// a real NTFS volume attached as a loop device: the rules in their order with
// the message each one shows, nothing written where a rule refuses, a real
// backup to its result dialog; then the progress figures, cancel and failure
// with an engine whose progress the test sets, under the test's clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/transfer/TaskState.h"
#include "engine/transfer/TaskThreads.h"
#include "tests/testlib/NtfsFixtures.h"
#include "tests/testlib/TestUtil.h"
#include "tests/ui/BackupPageSupport.h"
#include "ui/pages/BackupHandler.h"

namespace stow::ui {
namespace {

using namespace std::chrono_literals;
using headless::HeadlessHost;
using headless::HeadlessListView;
using headless::HeadlessPage;
using headless::ShownDialog;
using Ids = std::vector<std::string>;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr const char* kStart = CBackupHandler::kStartButton;
constexpr const char* kCancel = CBackupHandler::kCancelButton;
constexpr const char* kEdit = CBackupHandler::kPathEdit;
constexpr const char* kList = CBackupHandler::kListView;

std::string Sha256(const std::string& file) {
  const test::CommandResult r = test::Run({"sha256sum", file});
  return r.status == 0 ? r.output.substr(0, 64) : "sha256sum failed: " + r.output;
}

// A copy of an NTFS fixture attached as a loop device.
struct AttachedVolume {
  AttachedVolume(const test::TempDir& dir, const std::string& fixture, const std::string& name) {
    const test::NtfsFixture* source = test::GetNtfsFixture(fixture, &error);
    if (source == nullptr) return;
    image = (dir / name).string();
    if (!test::CopyNtfsFixture(*source, image)) {
      error = "cannot copy the fixture " + fixture;
      return;
    }
    loop = std::make_unique<test::LoopDevice>(image, false);
    if (!loop->Ok()) error = "losetup of " + image + " failed";
  }
  bool Ok() const { return error.empty(); }
  const std::string& Device() const { return loop->Device(); }

  std::string error;
  std::string image;
  std::unique_ptr<test::LoopDevice> loop;
};

// The pages as the window registers them with the notify centre: the copy page
// (here a stand-in that takes only its own events) is asked first.
struct Window {
  explicit Window(engine::TaskState& state, VolumeSource volumes)
      : state_(state),
        page(pagetest::AddBackupPage(host)),
        backup(host, phase, state, std::move(volumes)) {
    host.Notify().Register([this](const EventThread& event) {
      if (!EventIsFor(event, kCopyIdentity)) return false;
      copyEvents.push_back(event);
      return true;
    });
    host.Notify().Register([this](const EventThread& event) { return backup.OnEvent(event); });
  }

  // Clicks Start and delivers until the course has ended or its engine runs.
  testing::AssertionResult Start() {
    if (auto clicked = page.Click(kStart); !clicked) return clicked;
    return host.PumpUntil([this] { return !backup.CourseRunning() || state_.AnyWorkerRunning(); });
  }

  // Advances the clock a second at a time until the course has ended; the
  // engine's threads run meanwhile in real time.
  testing::AssertionResult RunUntilTaskEnds(std::chrono::seconds limit = 120s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (backup.CourseRunning()) {
      host.Pump();
      if (std::chrono::steady_clock::now() > end) {
        return testing::AssertionFailure()
               << "the backup did not end within " << limit.count() << " s";
      }
      std::this_thread::sleep_for(20ms);
      host.Advance(1s);
    }
    return testing::AssertionSuccess();
  }

  static constexpr EventSender kCopyIdentity = 99;
  engine::TaskState& state_;
  HeadlessHost host;
  HeadlessPage& page;
  TaskPhase phase;
  CBackupHandler backup;
  std::vector<EventThread> copyEvents;
};

bool Unlocked(HeadlessPage& page) {
  return page.Get(kStart).IsEnabled() && page.Get(kEdit).IsEnabled() &&
         page.Get(CBackupHandler::kSelectPathButton).IsEnabled() && !page.Get(kCancel).IsEnabled();
}

bool Locked(HeadlessPage& page) {
  return !page.Get(kStart).IsEnabled() && !page.Get(kEdit).IsEnabled() &&
         !page.Get(CBackupHandler::kSelectPathButton).IsEnabled() && page.Get(kCancel).IsEnabled();
}

TEST(BackupPage, RulesInTheirOrderThenABackupToItsResultDialog) {
  STOW_REQUIRE_NTFS_FIXTURES();
  STOW_REQUIRE((std::vector<std::string>{"losetup", "sha256sum"}), true, false);
  test::TempDir dir;
  AttachedVolume source(dir, "fragmented", "source.img");
  ASSERT_TRUE(source.Ok()) << source.error;
  const std::string sourceHash = Sha256(source.image);
  auto devices = std::make_shared<std::set<std::string>>(std::set{source.Device()});
  engine::TaskState state;
  Window w(state, pagetest::InventoryOf(devices));
  HeadlessPage& page = w.page;
  HeadlessHost& host = w.host;

  ASSERT_TRUE(w.backup.Init());
  HeadlessListView& list = page.GetListView(kList);
  ASSERT_EQ(list.BoundRows().size(), 1u);
  EXPECT_EQ(list.CellText(0, "txt_partion_name"), source.Device());
  EXPECT_EQ(list.CellText(0, "txt_file_system"), "NTFS");
  EXPECT_TRUE(Unlocked(page));

  // No volume chosen: the page has no record of it.
  EXPECT_TRUE(w.Start());
  // A volume chosen, but no path, then a path of three characters.
  ASSERT_TRUE(page.ChooseRow(kList, 0));
  EXPECT_TRUE(w.Start());
  ASSERT_TRUE(page.TypeText(kEdit, "/ab"));
  EXPECT_TRUE(w.Start());
  // Another page's task runs: refused before the path is looked at.
  ASSERT_TRUE(page.TypeText(kEdit, ""));
  w.phase.Set(Phase::kCopy);
  EXPECT_TRUE(w.Start());
  w.phase.Set(Phase::kIdle);
  EXPECT_EQ(host.ShownIds(),
            (Ids{"getpartitionerror", "setBackupPath", "setBackupPath", "backupThreadIsRunning"}));
  EXPECT_EQ(host.Shown()[3].text, "The current task is running.");
  EXPECT_EQ(host.Shown()[3].caption, "Tips");
  EXPECT_EQ(host.Shown()[3].type, kMbOk);
  host.ClearShown();

  // A volume plugged in after the page was drawn: the page is drawn again and
  // the choice must be made again.
  AttachedVolume plugged(dir, "empty", "plugged.img");
  ASSERT_TRUE(plugged.Ok()) << plugged.error;
  devices->insert(plugged.Device());
  ASSERT_TRUE(page.TypeText(kEdit, (dir / "out.vmg").string()));
  EXPECT_TRUE(w.Start());
  EXPECT_EQ(list.BoundRows().size(), 2u);
  EXPECT_TRUE(w.Start());
  EXPECT_EQ(host.ShownIds(), (Ids{"partitionInfoHaveChanged", "getpartitionerror"}));
  EXPECT_EQ(host.Shown()[0].text,
            "The partition information has been changed. Please choose again!");
  host.ClearShown();

  int sourceRow = -1;
  for (int row = 0; row < 2; ++row) {
    if (list.CellText(row, "txt_partion_name") == source.Device()) sourceRow = row;
  }
  ASSERT_GE(sourceRow, 0);
  ASSERT_TRUE(page.ChooseRow(kList, sourceRow));

  // The backup's own checks: a folder that does not exist.
  const std::string missing = (dir / "missing" / "out.vmg").string();
  ASSERT_TRUE(page.TypeText(kEdit, missing));
  EXPECT_TRUE(w.Start());
  // The question answered Cancel.
  const std::string image = (dir / "out.vmg").string();
  host.QueueSaveFile(image);
  ASSERT_TRUE(page.Click(CBackupHandler::kSelectPathButton));
  EXPECT_EQ(page.Get(kEdit).Text(), image);
  ASSERT_EQ(host.SaveRequests().size(), 1u);
  EXPECT_TRUE(std::regex_match(host.SaveRequests()[0].defaultName,
                               std::regex("Velmoras20[0-9]{2}(0[1-9]|1[0-2])[0-3][0-9]\\.vmg")))
      << host.SaveRequests()[0].defaultName;
  EXPECT_EQ(host.SaveRequests()[0].suffix, "vmg");
  host.QueueAnswer("confirmBackup", kIdCancel);
  page.Get("prog_text_backup").SetText("0 %");
  const int locked = page.TimesLocked();
  ASSERT_TRUE(page.Click(kStart));
  // The source is checked off the UI thread: the page is locked and says so,
  // and no other page may start a task meanwhile.
  EXPECT_EQ(w.phase.Get(), Phase::kBackup);
  ASSERT_TRUE(host.PumpUntil([&] { return !w.backup.CourseRunning(); }));
  EXPECT_EQ(page.TimesLocked(), locked + 1);
  EXPECT_THAT(page.Get("prog_text_backup").Texts(),
              testing::Contains("Checking the source volume, please wait..."));
  EXPECT_FALSE(page.IsLocked());
  EXPECT_EQ(page.Get("prog_text_backup").Text(), "0 %");
  ASSERT_EQ(host.ShownIds(), (Ids{"backupRefused", "confirmBackup"}));
  EXPECT_NE(host.Shown()[0].text.find("does not exist"), std::string::npos) << host.Shown()[0].text;
  EXPECT_EQ(host.Shown()[1].text,
            "Are you sure to backup " + source.Device() + " partition as file " + image + "?");
  EXPECT_EQ(host.Shown()[1].type, kMbOkCancel);
  EXPECT_FALSE(test::fs::exists(dir / "missing"));
  for (const auto& entry : test::fs::directory_iterator(dir.Path())) {
    EXPECT_EQ(entry.path().filename().string().find("out"), std::string::npos)
        << "a refused backup left " << entry.path();
  }
  EXPECT_TRUE(w.phase.IsIdle());
  EXPECT_TRUE(Unlocked(page));
  EXPECT_FALSE(page.IsTimerRunning(CBackupHandler::kProgressTimer));
  host.ClearShown();

  // Confirmed: the backup runs with the page locked.
  host.QueueAnswer("confirmBackup", kIdOk);
  ASSERT_TRUE(w.Start());
  EXPECT_EQ(w.phase.Get(), Phase::kBackup);
  EXPECT_TRUE(Locked(page));
  EXPECT_FALSE(page.Click(kStart));
  ASSERT_TRUE(w.RunUntilTaskEnds());

  EXPECT_EQ(host.ShownIds(), (Ids{"confirmBackup", "result"}));
  const ShownDialog& result = host.Shown().back();
  EXPECT_EQ(result.caption, "Mission completed!");
  EXPECT_EQ(result.text, "Thank you for your use!");
  EXPECT_EQ(result.imageSkin, "skin.success.anim");
  EXPECT_EQ(page.Get("prog_text_backup").Text(), "The backup is completed.");
  EXPECT_EQ(page.GetProgressBar("prog_backup").Value(), 100);
  EXPECT_TRUE(w.phase.IsIdle());
  // The controls came back through the page's own kind-3 event, after the dialog.
  EXPECT_TRUE(Unlocked(page));
  EXPECT_TRUE(w.copyEvents.empty()) << "the copy page was asked first and declined";
  ASSERT_TRUE(w.backup.LastResult().has_value());
  EXPECT_TRUE(w.backup.LastResult()->Ok());

  // The image is whole by an independent reading, and the source unchanged.
  const test::CommandResult inspect = test::RunCli({"inspect", image, "--verify"});
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_EQ(Sha256(source.image), sourceHash);
}

// An engine whose progress the test sets: the workers wait until the test
// gives them a result, or until they are stopped.
struct ScriptedEngine {
  ScriptedEngine() : state(Threads()) {}
  ~ScriptedEngine() {
    state.StopTask();
    state.WaitForWorkers();
  }

  engine::TaskThreads Threads() {
    engine::TaskThreads t;
    t.readPartition = [this](engine::TaskState& s) {
      while (!s.stopFlag.load() && !writerDone.load()) std::this_thread::sleep_for(1ms);
    };
    t.backupWrite = [this](engine::TaskState& s, engine::ImageHeader) {
      for (;;) {
        if (s.stopFlag.load()) {
          s.SetFirstError(engine::TaskError::kManualStop);
          break;
        }
        if (const engine::TaskError code = finish.load(); code != engine::TaskError::kRunning) {
          s.SetFirstError(code);
          break;
        }
        std::this_thread::sleep_for(1ms);
      }
      writerDone.store(true);
    };
    return t;
  }
  void Finish(engine::TaskError code) {
    finish.store(code);
    while (state.AnyWorkerRunning()) std::this_thread::sleep_for(1ms);
  }

  std::atomic<engine::TaskError> finish{engine::TaskError::kRunning};
  std::atomic<bool> writerDone{false};
  engine::TaskState state;
};

struct ScriptedBackup : testing::Test {
  void SetUp() override {
    STOW_REQUIRE_NTFS_FIXTURES();
    STOW_REQUIRE((std::vector<std::string>{"losetup"}), true, false);
    source = std::make_unique<AttachedVolume>(dir, "empty", "source.img");
    ASSERT_TRUE(source->Ok()) << source->error;
    window = std::make_unique<Window>(
        engine.state,
        pagetest::InventoryOf(std::make_shared<std::set<std::string>>(std::set{source->Device()})));
    ASSERT_TRUE(window->backup.Init());
    HeadlessPage& page = window->page;
    ASSERT_TRUE(page.ChooseRow(kList, 0));
    ASSERT_TRUE(page.TypeText(kEdit, (dir / "out.vmg").string()));
    window->host.QueueAnswer("confirmBackup", kIdOk);
    ASSERT_TRUE(window->Start());
    ASSERT_EQ(window->phase.Get(), Phase::kBackup);
    window->host.ClearShown();
  }
  void Tick() {
    window->host.Pump();
    window->host.Advance(1s);
  }
  // Delivers until the course has seen the engine's end and ended.
  void WaitForEnd() {
    ASSERT_TRUE(window->host.PumpUntil([&] { return !window->backup.CourseRunning(); }));
  }
  std::string Text(const std::string& control) { return window->page.Get(control).Text(); }

  test::TempDir dir;
  std::unique_ptr<AttachedVolume> source;
  ScriptedEngine engine;
  std::unique_ptr<Window> window;
};

TEST_F(ScriptedBackup, ProgressFiguresEachSecond) {
  // Nothing counted yet, and a total of 0: 0 percent.
  Tick();
  EXPECT_EQ(Text("text_had_used_time_backup"), "00:00:01");
  EXPECT_EQ(Text("prog_text_backup"), "0 %");
  EXPECT_EQ(Text("text_leave_time_backup"), "0 Sec");
  EXPECT_EQ(Text("text_total_size_backup"), "0.00 GB");
  EXPECT_EQ(Text("text_had_copyed_size_backup"), "0.00 MB");

  // The first second with data gives no estimate yet.
  engine.state.totalSectors.store(400 * kMiB / 512);
  engine.state.bytesDone.store(100 * kMiB);
  Tick();
  EXPECT_EQ(Text("text_had_used_time_backup"), "00:00:02");
  EXPECT_EQ(Text("prog_text_backup"), "25 %");
  EXPECT_EQ(window->page.GetProgressBar("prog_backup").Value(), 25);
  EXPECT_EQ(Text("text_leave_time_backup"), "0 Sec");
  EXPECT_EQ(Text("text_had_copyed_size_backup"), "100.00 MB");
  EXPECT_EQ(Text("text_total_size_backup"), "0.39 GB");

  // 300 MiB a second since the first data: 100 MiB left take one more second.
  engine.state.bytesDone.store(300 * kMiB);
  Tick();
  EXPECT_EQ(Text("prog_text_backup"), "75 %");
  EXPECT_EQ(Text("text_leave_time_backup"), "00:00:00");
  engine.state.bytesDone.store(350 * kMiB);
  Tick();
  EXPECT_EQ(Text("text_had_used_time_backup"), "00:00:04");
  EXPECT_EQ(Text("text_leave_time_backup"), "00:00:00");

  // Cancel after the workers ended but before the page saw it: no question.
  engine.Finish(engine::TaskError::kSuccess);
  ASSERT_TRUE(window->page.Click(kCancel));
  EXPECT_TRUE(window->host.Shown().empty());
  WaitForEnd();
  EXPECT_FALSE(window->page.IsTimerRunning(CBackupHandler::kProgressTimer));
  EXPECT_EQ(Text("prog_text_backup"), "The backup is completed.");
  EXPECT_EQ(window->page.GetProgressBar("prog_backup").Value(), 100);
  EXPECT_EQ(Text("text_had_copyed_size_backup"), "400.00 MB");
  EXPECT_EQ(window->host.ShownIds(), Ids{"result"});
  EXPECT_EQ(window->host.Shown()[0].imageSkin, "skin.success.anim");
  EXPECT_TRUE(window->phase.IsIdle());
  window->host.Pump();
  EXPECT_TRUE(Unlocked(window->page));
}

TEST_F(ScriptedBackup, CancelAsksOnceStopsTheTaskAndEndsInTheFailureDialog) {
  engine.state.totalSectors.store(100 * kMiB / 512);
  engine.state.bytesDone.store(10 * kMiB);
  Tick();
  window->host.QueueAnswer("confirmStopOperate", kIdCancel);
  ASSERT_TRUE(window->page.Click(kCancel));
  EXPECT_FALSE(engine.state.stopFlag.load()) << "Cancel on the question leaves the task running";
  window->host.QueueAnswer("confirmStopOperate", kIdOk);
  ASSERT_TRUE(window->page.Click(kCancel));
  EXPECT_EQ(window->host.ShownIds(), (Ids{"confirmStopOperate", "confirmStopOperate"}));
  EXPECT_EQ(window->host.Shown()[0].text, "Stop the operation?");
  while (engine.state.AnyWorkerRunning()) std::this_thread::sleep_for(1ms);
  window->host.ClearShown();

  WaitForEnd();
  EXPECT_FALSE(window->page.IsTimerRunning(CBackupHandler::kProgressTimer));
  ASSERT_EQ(window->host.ShownIds(), Ids{"result"});
  const ShownDialog& failed = window->host.Shown()[0];
  EXPECT_EQ(failed.caption, "Task failed to run!!!");
  EXPECT_EQ(failed.imageSkin, "skin.error.tip");
  EXPECT_NE(failed.text.find("The operation is stopped."), std::string::npos) << failed.text;
  EXPECT_NE(failed.text.find("Sorry, please try again!"), std::string::npos) << failed.text;
  EXPECT_EQ(Text("prog_text_backup"), "0%");
  EXPECT_EQ(Text("text_total_size_backup"), "0 G");
  EXPECT_EQ(Text("text_had_copyed_size_backup"), "0 G");
  EXPECT_EQ(Text("text_had_used_time_backup"), "0 Sec");
  EXPECT_EQ(Text("text_leave_time_backup"), "0 Sec");
  EXPECT_EQ(window->page.GetProgressBar("prog_backup").Value(), 0);
  EXPECT_TRUE(window->phase.IsIdle());
  EXPECT_FALSE(test::fs::exists(dir / "out.vmg"));
  window->host.Pump();
  EXPECT_TRUE(Unlocked(window->page));
}

TEST_F(ScriptedBackup, AWriteFailureNamesWhatFailedOnceBothWorkersHaveReturned) {
  // The error is set while a worker still runs: the page waits for it.
  engine.state.SetFirstError(engine::TaskError::kWriteFailed,
                             "/images/out.vmg: No space left on device");
  Tick();
  EXPECT_TRUE(window->page.IsTimerRunning(CBackupHandler::kProgressTimer));
  EXPECT_TRUE(window->host.Shown().empty());
  EXPECT_EQ(window->phase.Get(), Phase::kBackup);
  engine.Finish(engine::TaskError::kWriteFailed);
  WaitForEnd();
  EXPECT_FALSE(window->page.IsTimerRunning(CBackupHandler::kProgressTimer));
  ASSERT_EQ(window->host.ShownIds(), Ids{"result"});
  EXPECT_NE(window->host.Shown()[0].text.find("Writing failed."), std::string::npos);
  EXPECT_NE(window->host.Shown()[0].text.find("No space left on device"), std::string::npos)
      << window->host.Shown()[0].text;
  EXPECT_EQ(window->backup.LastResult()->status.error, engine::TaskError::kWriteFailed);
  EXPECT_TRUE(window->phase.IsIdle());
}

}  // namespace
}  // namespace stow::ui
