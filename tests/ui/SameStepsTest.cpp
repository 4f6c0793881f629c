// The pages of the window and the command line run one course: a backup, a
// restore and a copy of the same volumes, once clicked through the pages and
// once through stowline-cli, write the same steps in the same order to the
// log, and both match the list the course builds for that kind.
#include "tests/ui/PageTestSupport.h"

#include "tasks/Courses.h"
#include "tests/ui/BackupPageSupport.h"

namespace stow::ui::test {
namespace {

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new ScratchWorkingDirectory);

// The names of the steps a log names, in order ("step format").
std::vector<std::string> StepsIn(const std::vector<std::string>& lines) {
  std::vector<std::string> steps;
  for (const std::string& line : lines) {
    if (line.rfind("step ", 0) == 0 && line.find(" ended") == std::string::npos) {
      steps.push_back(line.substr(5));
    }
  }
  return steps;
}

std::vector<std::string> StepsOfCli(const std::vector<std::string>& args, const TempDir& dir) {
  const fs::path log = dir / "cli.log";
  std::vector<std::string> argv = args;
  argv.insert(argv.end(), {"--yes", "--quiet", "--log", log.string()});
  const CommandResult r = RunCli(argv);
  EXPECT_EQ(r.status, 0) << r.output;
  std::vector<std::string> lines;
  for (const std::string& line : SplitLines(ReadText(log))) {
    const size_t end = line.find("]: ");
    lines.push_back(end == std::string::npos ? line : line.substr(end + 3));
  }
  fs::remove(log);
  return StepsIn(lines);
}

class SameSteps : public PagesTest {};

TEST_F(SameSteps, ThePagesAndTheCommandLineRunEachKindsCourse) {
  AttachedDisk& disk = Attach(MakeMbrLogicalDisk(dir_.Path()));
  pagetest::AddBackupPage(host_);
  MakePages();
  CBackupHandler backup(host_, phase_, state_, volumes_.Source());
  ASSERT_TRUE(backup.Init());
  host_.Notify().Register([&](const EventThread& e) { return backup.OnEvent(e); });
  const std::string image = (dir_ / "page.vmg").string();
  engine::TaskState idle;
  auto listOf = [&](engine::TaskKind kind) {
    tasks::TaskDescription task;
    task.kind = kind;
    return tasks::BuildCourse(task, idle)->StepNames();
  };

  std::vector<std::string> backupSteps;
  std::vector<std::string> restoreSteps;
  std::vector<std::string> copySteps;
  {
    LogCapture log;
    HeadlessPage& page = host_.GetPage(CBackupHandler::kPageName);
    for (int row = 0; row < static_cast<int>(backup.Volumes().size()); ++row) {
      if (backup.Volumes()[static_cast<size_t>(row)].volumeName == disk.Node(5)) {
        ASSERT_TRUE(page.ChooseRow(CBackupHandler::kListView, row));
      }
    }
    ASSERT_TRUE(page.TypeText(CBackupHandler::kPathEdit, image));
    host_.QueueAnswer("confirmBackup", kIdOk);
    ASSERT_TRUE(page.Click(CBackupHandler::kStartButton));
    ASSERT_TRUE(RunUntil([&] { return !backup.CourseRunning(); }));
    backupSteps = StepsIn(log.Lines());

    ASSERT_TRUE(RestorePage().TypeText(CRestoreHandler::kPathEdit, image));
    ASSERT_TRUE(ChooseRestoreRow(disk.Node(6)));
    host_.QueueAnswer("confirmRestorePartition", kIdOk);
    ASSERT_TRUE(RestorePage().Click(CRestoreHandler::kStartButton));
    ASSERT_TRUE(RunUntil([&] { return !restore_->CourseRunning(); }));
    restoreSteps = StepsIn(log.Lines());
    restoreSteps.erase(restoreSteps.begin(),
                       restoreSteps.begin() + static_cast<std::ptrdiff_t>(backupSteps.size()));

    ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, disk.Node(5)));
    ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, disk.Node(6)));
    host_.QueueAnswer("confirmcopy", kIdOk);
    ASSERT_TRUE(CopyPage().Click(CCopyHandler::kStartButton));
    ASSERT_TRUE(RunUntil([&] { return !copy_->CourseRunning(); }));
    copySteps = StepsIn(log.Lines());
    copySteps.erase(copySteps.begin(),
                    copySteps.begin() +
                        static_cast<std::ptrdiff_t>(backupSteps.size() + restoreSteps.size()));
  }
  EXPECT_EQ(host_.ShownIds(), (std::vector<std::string>{"confirmBackup", "result",
                                                        "confirmRestorePartition", "result",
                                                        "confirmcopy", "result"}));
  EXPECT_EQ(backupSteps, listOf(engine::TaskKind::kBackup));
  EXPECT_EQ(restoreSteps, listOf(engine::TaskKind::kRestore));
  EXPECT_EQ(copySteps, listOf(engine::TaskKind::kCopy));

  const std::string cliImage = (dir_ / "cli.vmg").string();
  EXPECT_EQ(StepsOfCli({"backup", disk.Node(5), cliImage}, dir_), backupSteps);
  EXPECT_EQ(StepsOfCli({"restore", cliImage, disk.Node(6)}, dir_), restoreSteps);
  EXPECT_EQ(StepsOfCli({"copy", disk.Node(5), disk.Node(6)}, dir_), copySteps);
}

}  // namespace
}  // namespace stow::ui::test
