// The courses of the three task kinds with a front end that answers from a
// script and notes every call, on real volumes: each kind's steps in their
// order, a refusal that asks nothing, a declined question or an early stop
// that writes nothing and starts no engine, the warning about a missing
// checksum file before the question, a copy through its disk check and a
// backup read back.
#include <map>

#include "platform/VolumeLock.h"
#include "support/StringTable.h"
#include "tasks/Courses.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/TreeCompare.h"

namespace stow::tasks {
namespace {

using engine::TaskKind;
using engine::TaskState;
using test::fs::path;
using Names = std::vector<std::string>;

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

constexpr uint64_t kVolumeBytes = 32ull << 20;
const std::vector<std::string> kTools = {"mkntfs", "ntfs-3g", "ntfsfix"};

// Answers each question by its id (yes when the script does not name it), stops
// at the first progress report of `stopAt`, and notes every call in order.
class ScriptedFrontEnd final : public TaskFrontEnd {
 public:
  std::map<std::string, bool> answers;
  std::string stopAt;
  Names calls;
  std::string lastQuestion;
  int figures = 0;

  bool Ask(const std::string& id, const std::string& text) override {
    calls.push_back("ask " + id);
    lastQuestion = text;
    const auto it = answers.find(id);
    return it == answers.end() || it->second;
  }
  void Tell(const std::string& id, const std::string& /*text*/) override {
    calls.push_back("tell " + id);
  }
  void StepStarted(const Step& step) override {
    calls.push_back(step.name);
    step_ = step.name;
  }
  bool Progress(const StepProgress& progress) override {
    if (progress.figures) ++figures;
    return step_ != stopAt;
  }

 private:
  std::string step_;
};

TaskDescription Describe(TaskKind kind, const std::string& first, const std::string& second) {
  TaskDescription task;
  task.kind = kind;
  (kind == TaskKind::kRestore ? task.image : task.source) = first;
  (kind == TaskKind::kBackup ? task.image : task.destination) = second;
  return task;
}

TEST(Course, EachKindHasItsStepsInOrder) {
  TaskState state;
  const Names repair = {"disk check", "registry", "boot files", "activation"};
  struct Row {
    TaskKind kind;
    bool verify;
    bool repair;
    Names steps;
  };
  const Row rows[] = {
      {TaskKind::kBackup, false, true, {"check", "transfer"}},
      {TaskKind::kBackup, true, true, {"check", "transfer", "read-back"}},
      {TaskKind::kCopy, false, false, {"check", "split", "format", "transfer"}},
      {TaskKind::kRestore, true, false, {"check", "split", "format", "transfer", "read-back"}},
  };
  for (const Row& row : rows) {
    TaskDescription task = Describe(row.kind, "a", "b");
    task.verify = row.verify;
    task.repair = row.repair;
    EXPECT_EQ(BuildCourse(task, state)->StepNames(), row.steps);
    if (row.kind == TaskKind::kBackup) continue;
    task.repair = true;
    Names withRepair = row.steps;
    withRepair.insert(withRepair.end(), repair.begin(), repair.end());
    EXPECT_EQ(BuildCourse(task, state)->StepNames(), withRepair);
  }
}

TEST(Course, ARefusalAsksNothing) {
  TaskState state;
  for (const auto& [kind, id] : {std::pair{TaskKind::kCopy, "choosesource"},
                                 std::pair{TaskKind::kRestore, "selectBackupPath"}}) {
    ScriptedFrontEnd frontEnd;
    const CourseEnd end = BuildCourse(Describe(kind, "", "/nonexistent/b"), state)->Run(frontEnd);
    EXPECT_EQ(end.status.Code(), StepCode::kRefused);
    EXPECT_EQ(end.status.id, id);
    EXPECT_EQ(end.step, "check");
    EXPECT_EQ(frontEnd.calls, Names{"check"});
  }
}

class CourseOnVolumes : public ::testing::Test {
 protected:
  void SetUp() override {
    STOW_REQUIRE(kTools, true, true);
    source_ = dir_ / "source.img";
    ASSERT_NO_FATAL_FAILURE(
        test::MakeFilledNtfsVolume(source_, kVolumeBytes,
                                   "head -c 3000000 /dev/urandom > data.bin && mkdir folder && "
                                   "echo text > folder/note.txt"));
  }

  path NewVolumeFile(const std::string& name) const {
    const path file = dir_ / name;
    test::MakeSparseFile(file, kVolumeBytes);
    return file;
  }

  test::TempDir dir_;
  path source_;
};

TEST_F(CourseOnVolumes, ADeclinedQuestionOrAnEarlyStopStartsNothing) {
  const path destination = NewVolumeFile("dest.img");
  ASSERT_EQ(test::Run({"mkntfs", "-q", "-F", "-f", destination.string()}).status, 0);
  const std::string before = test::ReadText(destination);
  TaskState state;
  ScriptedFrontEnd frontEnd;
  frontEnd.answers["confirmcopy"] = false;
  {
    auto course = BuildCourse(Describe(TaskKind::kCopy, source_, destination), state);
    const CourseEnd end = course->Run(frontEnd);
    EXPECT_EQ(end.status.Code(), StepCode::kDeclined);
    EXPECT_EQ(frontEnd.lastQuestion, ConfirmCopyText(course->Working().copy));
    EXPECT_FALSE(platform::ProcessHoldsTaskLock(destination.string()));
  }
  EXPECT_EQ(frontEnd.calls, (Names{"check", "split", "format", "ask confirmcopy"}));
  EXPECT_TRUE(test::ReadText(destination) == before) << "a declined copy wrote the destination";

  // A stop before the format: nothing written, the engine never starts.
  frontEnd = ScriptedFrontEnd{};
  frontEnd.stopAt = "format";
  const CourseEnd stopped =
      BuildCourse(Describe(TaskKind::kCopy, source_, destination), state)->Run(frontEnd);
  EXPECT_EQ(stopped.status.Code(), StepCode::kStopped);
  EXPECT_EQ(stopped.status.error, engine::TaskError::kNone);
  EXPECT_TRUE(test::ReadText(destination) == before);
  EXPECT_FALSE(EngineTaskRunning(state));
}

TEST_F(CourseOnVolumes, ACopyRunsThroughItsDiskCheck) {
  const path destination = NewVolumeFile("dest.img");
  TaskState state;
  ScriptedFrontEnd frontEnd;
  TaskDescription task = Describe(TaskKind::kCopy, source_, destination);
  task.verify = true;
  const CourseEnd end = BuildCourse(task, state)->Run(frontEnd);
  ASSERT_TRUE(end.Ok()) << end.step << ": " << end.status.text << " " << end.status.Detail();
  EXPECT_EQ(frontEnd.calls, (Names{"check", "split", "format", "ask confirmcopy", "transfer",
                                   "read-back", "disk check", "registry", "boot files",
                                   "activation"}));
  EXPECT_GT(frontEnd.figures, 0);
  EXPECT_EQ(end.successText, LoadText("copyPartitionSuccess"));
  EXPECT_TRUE(test::CompareNtfsVolumes(source_.string(), destination.string()).empty());
}

TEST_F(CourseOnVolumes, ARestoreWithoutChecksumsWarnsBeforeItAsks) {
  const path image = dir_ / "source.vmg";
  const test::CommandResult backup = test::RunCli(
      {"backup", source_.string(), image.string(), "--yes", "--quiet", "--no-checksums"});
  ASSERT_EQ(backup.status, 0) << backup.output;
  const path destination = NewVolumeFile("restored.img");
  TaskState state;
  ScriptedFrontEnd frontEnd;
  TaskDescription task = Describe(TaskKind::kRestore, image, destination);
  task.repair = false;
  const CourseEnd end = BuildCourse(task, state)->Run(frontEnd);
  ASSERT_TRUE(end.Ok()) << end.status.text << " " << end.status.Detail();
  EXPECT_EQ(frontEnd.calls, (Names{"check", "split", "format", "tell noticeNoChecksumFile",
                                   "ask confirmRestorePartition", "transfer"}));
  EXPECT_TRUE(test::CompareNtfsVolumes(source_.string(), destination.string()).empty());
}

TEST_F(CourseOnVolumes, ABackupIsDeclinedWithoutAnImageOrRunsAndReadsItBack) {
  const path image = dir_ / "source.vmg";
  TaskState state;
  ScriptedFrontEnd frontEnd;
  frontEnd.answers["confirmBackup"] = false;
  TaskDescription task = Describe(TaskKind::kBackup, source_, image);
  task.verify = true;
  EXPECT_EQ(BuildCourse(task, state)->Run(frontEnd).status.Code(), StepCode::kDeclined);
  EXPECT_FALSE(test::fs::exists(image));

  frontEnd = ScriptedFrontEnd{};
  const CourseEnd end = BuildCourse(task, state)->Run(frontEnd);
  ASSERT_TRUE(end.Ok()) << end.status.text << " " << end.status.Detail();
  EXPECT_EQ(end.successText, BackupResultText(engine::TaskError::kSuccess));
  EXPECT_EQ(frontEnd.calls, (Names{"check", "transfer", "ask confirmBackup", "read-back"}));
  EXPECT_TRUE(test::fs::exists(image.string() + ".sums"));

  // A source that is no volume: refused with the check's words, nothing asked.
  frontEnd = ScriptedFrontEnd{};
  const CourseEnd none =
      BuildCourse(Describe(TaskKind::kBackup, (dir_ / "missing.img").string(), image.string()),
                  state)
          ->Run(frontEnd);
  EXPECT_EQ(none.status.Code(), StepCode::kRefused);
  EXPECT_FALSE(none.status.text.empty());
  EXPECT_EQ(frontEnd.calls, Names{"check"});
}

}  // namespace
}  // namespace stow::tasks
