// The copy and restore course with a driver that records what it was asked,
// on real volumes: a refusal asks nothing, a declined question or a stop
// before the start leaves no engine running, the steps come in their order,
// the warning about a missing checksum file comes before the question, and a
// front end that follows the task itself (Begin, then End) ends it the same way.
// The backup's course the same way: declined, it writes nothing; run, it reads
// the image back when asked.
#include <chrono>
#include <thread>

#include "platform/VolumeLock.h"
#include "tasks/BackupCourse.h"
#include "tasks/CommandRunners.h"
#include "tasks/DestinationCourse.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/TreeCompare.h"

namespace stow::tasks {
namespace {

using engine::TaskState;
using test::fs::path;

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

constexpr uint64_t kVolumeBytes = 32ull << 20;
const std::vector<std::string> kTools = {"mkntfs", "ntfs-3g"};

// Waits until the engine has finished and its workers have ended.
engine::TaskError WaitForTask(TaskState& state) {
  while (state.ErrorCode() == engine::TaskError::kRunning || state.AnyWorkerRunning()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  state.WaitForWorkers();
  return state.ErrorCode();
}

// Answers as told and notes every call, in order.
class RecordingDriver : public CourseDriver {
 public:
  bool answer = true;
  bool stop = false;
  std::vector<std::string> calls;
  std::string question;
  std::string notice;

  void Notice(const std::string& text) override {
    calls.emplace_back("notice");
    notice = text;
  }
  bool Confirm(const std::string& text) override {
    calls.emplace_back("confirm");
    question = text;
    return answer;
  }
  void Committed() override { calls.emplace_back("committed"); }
  bool StopRequested() override {
    calls.emplace_back("stop?");
    return stop;
  }
  engine::TaskError Follow(TaskState& state) override {
    calls.emplace_back("follow");
    return WaitForTask(state);
  }
  PostTaskChain RepairChain() override {
    calls.emplace_back("chain");
    return [this](const PostTaskRequest&) {
      calls.emplace_back("chain ran");
      return PostTaskResult{};
    };
  }
};

using Calls = std::vector<std::string>;

TEST(DestinationCourse, ARefusalAsksNothing) {
  TaskState state;
  RecordingDriver driver;
  RestoreCourse restore;
  CourseResult result = restore.Run(state, "", "/nonexistent/destination", {}, driver);
  EXPECT_EQ(result.end, CourseEnd::kRefused);
  EXPECT_EQ(result.refusal.id, "selectBackupPath");
  CopyCourse copy;
  result = copy.Run(state, "", "/nonexistent/destination", {}, driver);
  EXPECT_EQ(result.end, CourseEnd::kRefused);
  EXPECT_EQ(result.refusal.id, "choosesource");
  EXPECT_TRUE(driver.calls.empty());
}

class DestinationCourseOnVolumes : public ::testing::Test {
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

TEST_F(DestinationCourseOnVolumes, ADeclinedQuestionOrAnEarlyStopStartsNothing) {
  const path destination = NewVolumeFile("dest.img");
  ASSERT_EQ(test::Run({"mkntfs", "-q", "-F", "-f", destination.string()}).status, 0);
  const std::string before = test::ReadText(destination);
  TaskState state;
  RecordingDriver driver;
  driver.answer = false;
  {
    CopyCourse course;
    const CourseResult result =
        course.Run(state, source_.string(), destination.string(), {}, driver);
    EXPECT_EQ(result.end, CourseEnd::kDeclined);
    EXPECT_EQ(driver.question, ConfirmCopyText(course.Plan()));
  }
  EXPECT_EQ(driver.calls, (Calls{"confirm"}));
  EXPECT_TRUE(test::ReadText(destination) == before) << "a declined copy wrote the destination";

  // A stop after the question: the destination is formatted, the engine never starts.
  driver = RecordingDriver{};
  driver.stop = true;
  {
    CopyCourse course;
    const CourseResult result =
        course.Run(state, source_.string(), destination.string(), {}, driver);
    EXPECT_EQ(result.end, CourseEnd::kStopped);
  }
  EXPECT_EQ(driver.calls, (Calls{"confirm", "committed", "stop?"}));
  EXPECT_FALSE(EngineTaskRunning(state));
}

TEST_F(DestinationCourseOnVolumes, ACopyRunsItsStepsInOrderAndEndsWithTheChain) {
  const path destination = NewVolumeFile("dest.img");
  TaskState state;
  RecordingDriver driver;
  CopyCourse course;
  CourseOptions options;
  options.verify = true;
  const CourseResult result =
      course.Run(state, source_.string(), destination.string(), options, driver);
  ASSERT_EQ(result.end, CourseEnd::kFinished) << result.refusal.text;
  EXPECT_EQ(result.outcome.errorCode, engine::TaskError::kSuccess) << result.outcome.detail;
  EXPECT_TRUE(result.outcome.succeeded);
  EXPECT_TRUE(course.Plan().verify.enabled);
  EXPECT_EQ(driver.calls, (Calls{"confirm", "committed", "stop?", "follow", "chain", "chain ran"}));
  EXPECT_TRUE(test::CompareNtfsVolumes(source_.string(), destination.string()).empty());
}

TEST_F(DestinationCourseOnVolumes, ARestoreWithoutChecksumsWarnsFirstAndEndsThroughEnd) {
  const path image = dir_ / "source.vmg";
  const test::CommandResult backup = test::RunCli(
      {"backup", source_.string(), image.string(), "--yes", "--quiet", "--no-checksums"});
  ASSERT_EQ(backup.status, 0) << backup.output;
  const path destination = NewVolumeFile("restored.img");
  TaskState state;
  RecordingDriver driver;
  RestoreCourse course;
  // A front end that follows the task by its own means: Begin, its own wait, End.
  const CourseResult begun = course.Begin(state, image.string(), destination.string(), {}, driver);
  ASSERT_EQ(begun.end, CourseEnd::kStarted) << begun.refusal.text;
  EXPECT_EQ(driver.calls, (Calls{"notice", "confirm", "committed", "stop?"}));
  EXPECT_FALSE(driver.notice.empty());
  EXPECT_EQ(driver.notice, NoChecksumNotice(course.Plan()));
  const engine::TaskError code = WaitForTask(state);
  bool chainRan = false;
  const CourseResult ended = course.End(state, code, [&](const PostTaskRequest& request) {
    chainRan = true;
    EXPECT_EQ(request.kind, engine::TaskKind::kRestore);
    return PostTaskResult{};
  });
  EXPECT_EQ(ended.end, CourseEnd::kFinished);
  EXPECT_TRUE(ended.outcome.succeeded) << ended.outcome.detail;
  EXPECT_TRUE(chainRan);
  EXPECT_TRUE(test::CompareNtfsVolumes(source_.string(), destination.string()).empty());
}

// A front end that runs the steps itself: the choice rules alone read nothing,
// a dropped course frees its volumes for the next one, the preparation runs
// on another thread and the start follows on this one.
TEST_F(DestinationCourseOnVolumes, StepByStepThePreparationRunsOnAWorker) {
  const path destination = NewVolumeFile("dest.img");
  TaskState state;
  CopyCourse course;
  EXPECT_EQ(course.CheckChoice(state, source_.string(), source_.string()).id, "destEqualSour");
  EXPECT_EQ(course.CheckChoice(state, "", destination.string()).id, "choosesource");
  // The choice rules look at no volume: a missing one passes them.
  EXPECT_FALSE(course.CheckChoice(state, "/nonexistent/a", "/nonexistent/b").Refused());
  RestoreCourse restore;
  EXPECT_EQ(restore.CheckChoice(state, "", destination.string()).id, "selectBackupPath");
  EXPECT_EQ(restore.CheckChoice(state, source_.string(), "").id, "backupFileError");

  // A checked course holds the destination until it is dropped.
  ASSERT_EQ(course.Check(state, source_.string(), destination.string(), {}).end,
            CourseEnd::kChecked);
  EXPECT_TRUE(platform::ProcessHoldsTaskLock(destination.string()));
  course.Drop();
  EXPECT_FALSE(platform::ProcessHoldsTaskLock(destination.string()));
  CopyCourse second;
  ASSERT_EQ(second.Check(state, source_.string(), destination.string(), {}).end,
            CourseEnd::kChecked);
  EXPECT_EQ(second.Question(), ConfirmCopyText(second.Plan()));
  EXPECT_TRUE(second.Notice().empty());

  CourseResult prepared;
  std::thread worker([&] { prepared = second.Prepare(); });
  worker.join();
  ASSERT_EQ(prepared.end, CourseEnd::kPrepared) << prepared.refusal.text;
  EXPECT_EQ(CheckFormattedVolume(platform::VolumeId(destination.string()),
                                 static_cast<int32_t>(second.Plan().sourceClusterSize)),
            kFormatVerified);
  const CourseResult started = second.Start(state);
  ASSERT_EQ(started.end, CourseEnd::kStarted) << started.refusal.text;
  // While it runs, the choice rules already refuse a second task.
  EXPECT_EQ(course.CheckChoice(state, source_.string(), destination.string()).id,
            "copyThreadIsRunning");
  const CourseResult ended = second.End(state, WaitForTask(state), NoPostTaskChain());
  EXPECT_TRUE(ended.outcome.succeeded) << ended.outcome.detail;
  EXPECT_TRUE(test::CompareNtfsVolumes(source_.string(), destination.string()).empty());
}

// Answers as told, notes every call, and counts the read-back's progress calls.
class RecordingBackupDriver : public BackupDriver {
 public:
  bool answer = true;
  std::vector<std::string> calls;
  std::string question;
  int progressCalls = 0;

  bool Confirm(const std::string& text) override {
    calls.emplace_back("confirm");
    question = text;
    return answer;
  }
  void Committed() override { calls.emplace_back("committed"); }
  engine::TaskError Follow(TaskState& state) override {
    calls.emplace_back("follow");
    return WaitForTask(state);
  }
  std::function<bool(uint64_t, uint64_t)> VerifyProgress() override {
    calls.emplace_back("verify");
    return [this](uint64_t, uint64_t) {
      ++progressCalls;
      return true;
    };
  }
  void VerifyEnded() override { calls.emplace_back("verify ended"); }
};

TEST_F(DestinationCourseOnVolumes, ABackupIsDeclinedWithoutAnImageOrRunsAndReadsItBack) {
  const path image = dir_ / "source.vmg";
  TaskState state;
  RecordingBackupDriver driver;
  driver.answer = false;
  BackupOptions options;
  options.verify = true;
  {
    BackupCourse course;
    const BackupResult result =
        course.Run(state, source_.string(), image.string(), options, driver);
    EXPECT_EQ(result.end, BackupEnd::kDeclined);
    EXPECT_EQ(driver.question, ConfirmBackupText(course.Plan()));
  }
  EXPECT_EQ(driver.calls, (Calls{"confirm"}));
  EXPECT_FALSE(test::fs::exists(image));

  driver = RecordingBackupDriver{};
  BackupCourse course;
  const BackupResult result = course.Run(state, source_.string(), image.string(), options, driver);
  ASSERT_EQ(result.end, BackupEnd::kDone) << result.why << result.detail;
  EXPECT_EQ(result.text, BackupResultText(engine::TaskError::kSuccess));
  EXPECT_TRUE(result.verification.ok) << result.verification.text;
  EXPECT_EQ(driver.calls, (Calls{"confirm", "committed", "follow", "verify", "verify ended"}));
  EXPECT_GT(driver.progressCalls, 0);
  EXPECT_TRUE(test::fs::exists(image));
  EXPECT_TRUE(test::fs::exists(image.string() + ".sums"));

  // A source that is no volume: refused with the check's words, nothing asked.
  driver = RecordingBackupDriver{};
  BackupCourse refused;
  const BackupResult none =
      refused.Run(state, (dir_ / "missing.img").string(), image.string(), options, driver);
  EXPECT_EQ(none.end, BackupEnd::kRefused);
  EXPECT_FALSE(none.why.empty());
  EXPECT_TRUE(driver.calls.empty());
}

}  // namespace
}  // namespace stow::tasks
