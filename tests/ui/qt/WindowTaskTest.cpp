// A backup and then a restore driven through the real window by clicks and
// typing, on NTFS volumes of a loop-device disk: the progress texts move while
// each task runs, the result dialog comes up and is answered with its button,
// the page's controls are given back, and the restored volume reads as the
// source did.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <set>

#include "tests/support/LogTestSupport.h"
#include "tests/testlib/TreeCompare.h"
#include "tests/ui/PageTestSupport.h"
#include "ui/qt/MainDlg.h"
#include "ui/qt/MessageBoxEx.h"
#include "ui/qt/ResultDialog.h"
#include "ui/qt/IconButton.h"
#include "ui/qt/TabMain.h"

namespace stow::ui::qt {
namespace {

using namespace stow::test;  // NOLINT(google-build-using-namespace): the shared fixtures

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new ScratchWorkingDirectory);

constexpr int kTaskLimitMs = 300000;

// What a result dialog said when the watcher answered it.
struct Answered {
  QString caption;
  QString text;
};

// Watches the window while a task runs: every text the progress label shows,
// and every result dialog, answered by a click on its button.
class TaskWatcher {
 public:
  explicit TaskWatcher(QLabel* progress) : progress_(progress) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
    timer_.start(5);
  }
  const std::set<QString>& Texts() const { return texts_; }
  const std::vector<Answered>& Results() const { return results_; }

 private:
  void Look() {
    texts_.insert(progress_->text());
    for (QWidget* top : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<SMyMessageBox*>(top);
      if (box == nullptr || !box->isVisible()) continue;
      auto* caption = box->findChild<QLabel*>(QStringLiteral("first_msgtext"));
      auto* text = box->findChild<QLabel*>(QStringLiteral("second_msgtext"));
      results_.push_back({caption ? caption->text() : QString(), text ? text->text() : QString()});
      auto* button = box->findChild<QAbstractButton*>(QStringLiteral("button1th"));
      if (button != nullptr) {
        QTest::mouseClick(button, Qt::LeftButton);
      } else {
        box->reject();
      }
    }
  }

  QLabel* progress_;
  QTimer timer_;
  std::set<QString> texts_;
  std::vector<Answered> results_;
};

class WindowTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> tools = DiskFixtureTools();
    tools.insert(tools.end(), {"mkntfs", "ntfs-3g", "ntfsfix", "losetup", "partx"});
    STOW_REQUIRE(tools, true, true);
  }
  void TearDown() override {
    SetMessageBoxAnswerForTesting({});
    window_.reset();
    state_.WaitForWorkers();
  }

  template <typename T>
  T* Child(const char* name) {
    auto* widget = window_->findChild<T*>(QLatin1StringView(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }

  // Clicks the row of `list` that shows `volume` in its Drive Letter column.
  ::testing::AssertionResult ClickRow(const char* list, const std::string& volume) {
    auto* view = Child<QTreeView>(list);
    if (view == nullptr) return ::testing::AssertionFailure() << "no list " << list;
    QAbstractItemModel* model = view->model();
    for (int row = 0; row < model->rowCount(); ++row) {
      const QModelIndex cell = model->index(row, 1);
      if (cell.data().toString() != QString::fromStdString(volume)) continue;
      view->scrollTo(cell);
      QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(cell).center());
      if (view->currentIndex().row() != row) {
        return ::testing::AssertionFailure() << "the click did not choose " << volume;
      }
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << list << " does not show " << volume;
  }

  void Type(const char* edit, const std::string& text) {
    auto* line = Child<QLineEdit>(edit);
    ASSERT_NE(line, nullptr);
    line->clear();
    QTest::keyClicks(line, QString::fromStdString(text));
    ASSERT_EQ(line->text().toStdString(), text);
  }

  // The page's controls are the user's again: start, path, list; cancel is off.
  void ExpectUnlocked(const char* suffix) {
    const std::string s(suffix);
    for (const std::string& name : {"btn_start_" + s, "disk_list_view_" + s}) {
      auto* widget = window_->findChild<QWidget*>(QString::fromStdString(name));
      ASSERT_NE(widget, nullptr) << name;
      EXPECT_TRUE(widget->isEnabled()) << name;
    }
    auto* cancel = window_->findChild<QWidget*>(QString::fromStdString("btn_cancel_" + s));
    ASSERT_NE(cancel, nullptr);
    EXPECT_FALSE(cancel->isEnabled());
  }

  TempDir dir_;
  test::TestVolumes volumes_;
  std::unique_ptr<test::AttachedDisk> disk_;
  TaskPhase phase_;
  engine::TaskState state_;
  std::unique_ptr<CMainDlg> window_;
};

TEST_F(WindowTaskTest, BackupThenRestoreByClicksEndsInTheResultDialogsAndAnEqualVolume) {
  disk_ = std::make_unique<test::AttachedDisk>();
  disk_->fixture = MakeMbrLogicalDisk(dir_.Path());
  ASSERT_TRUE(disk_->fixture.Ok()) << disk_->fixture.error;
  disk_->loop = std::make_unique<LoopDevice>(disk_->fixture.image);
  ASSERT_TRUE(disk_->loop->Ok());
  volumes_.devices.push_back(disk_->loop->Device());
  const std::string source = disk_->Node(5);
  const std::string target = disk_->Node(6);
  {
    NtfsMount mount(source, false);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    const CommandResult filled = Shell("cd " + Quote(mount.Path().string()) +
                                       " && head -c 3000000 /dev/urandom > data.bin && "
                                       "mkdir folder && echo text > folder/note.txt");
    ASSERT_EQ(filled.status, 0) << filled.output;
  }

  window_ = std::make_unique<CMainDlg>();
  CMainDlg::PageSetup setup;
  setup.phase = &phase_;
  setup.state = &state_;
  setup.volumes = volumes_.Source();
  setup.destination.volumes = volumes_.Source();
  window_->HostPages(setup);
  window_->Initialise(QString::fromStdString(dir_.Path().string()), false);
  window_->ShowNow();

  std::vector<QString> asked;
  SetMessageBoxAnswerForTesting([&](const QString& text, const QString&, int) {
    asked.push_back(text);
    return kIdOk;
  });

  // Backup: its tab, the source's row, the image's path typed, Start.
  QTest::mouseClick(window_->Tabs()->Tab(1), Qt::LeftButton);
  ASSERT_TRUE(window_->FindPage(QStringLiteral("page_backup"))->isVisible());
  ASSERT_TRUE(ClickRow("disk_list_view_backup", source));
  const std::string image = (dir_ / "volume.vmg").string();
  Type("edit_backup_path", image);
  {
    TaskWatcher watch(Child<QLabel>("prog_text_backup"));
    QTest::mouseClick(Child<QAbstractButton>("btn_start_backup"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !watch.Results().empty(); }, kTaskLimitMs))
        << "the backup's result dialog never came";
    ASSERT_TRUE(QTest::qWaitFor([&] { return phase_.IsIdle(); }, kTaskLimitMs));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_TRUE(asked[0].contains(QString::fromStdString(image))) << asked[0].toStdString();
    EXPECT_EQ(watch.Results().size(), 1u);
    EXPECT_EQ(watch.Results()[0].caption, "Mission completed!");
    EXPECT_GE(watch.Texts().size(), 2u) << "the progress text never changed";
  }
  QTest::qWait(50);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  ExpectUnlocked("backup");
  EXPECT_TRUE(Child<QLineEdit>("edit_backup_path")->isEnabled());
  ASSERT_TRUE(fs::exists(image));

  // Restore: its tab, the image typed, the other volume's row, Start.
  asked.clear();
  QTest::mouseClick(window_->Tabs()->Tab(2), Qt::LeftButton);
  ASSERT_TRUE(window_->FindPage(QStringLiteral("page_restore"))->isVisible());
  Type("edit_restore_path", image);
  ASSERT_TRUE(ClickRow("disk_list_view_restore", target));
  {
    TaskWatcher watch(Child<QLabel>("prog_text_restore"));
    QTest::mouseClick(Child<QAbstractButton>("btn_start_restore"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !watch.Results().empty(); }, kTaskLimitMs))
        << "the restore's result dialog never came";
    ASSERT_TRUE(QTest::qWaitFor([&] { return phase_.IsIdle(); }, kTaskLimitMs));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_TRUE(asked[0].contains(QString::fromStdString(target))) << asked[0].toStdString();
    EXPECT_EQ(watch.Results().size(), 1u);
    EXPECT_EQ(watch.Results()[0].caption, "Mission completed!");
    EXPECT_GE(watch.Texts().size(), 2u) << "the progress text never changed";
  }
  QTest::qWait(50);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  ExpectUnlocked("restore");
  EXPECT_EQ(Child<QLabel>("prog_text_restore")->text(), "The partition is restored successfully.");
  EXPECT_TRUE(Child<QLineEdit>("edit_restore_path")->isEnabled());

  window_.reset();
  const auto differences = CompareNtfsVolumes(source, target);
  EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences.size())
                                   << " differences between the source and the restored volume";
}

}  // namespace
}  // namespace stow::ui::qt
