// The exit status each way a task can end gives: scripts read these numbers,
// so each task error leaves the program as its own number, and none of them
// can be mistaken for success or for the command line's own statuses.
#include "cli/ExitStatus.h"

#include <gtest/gtest.h>

#include <set>

#include "cli/RepairConsole.h"
#include "cli/TaskConsole.h"

namespace stow::cli {
namespace {

using engine::TaskError;

TEST(ExitStatus, EachTaskErrorLeavesAsItsOwnNumber) {
  EXPECT_EQ(TaskExitStatus(TaskError::kSuccess), 0);
  const std::set<int> ownStatuses = {0,
                                     kTaskRefused,
                                     kTaskUsageError,
                                     kRepairFailed,
                                     kDiskCheckFailedStatus,
                                     kDiskCheckNotReopened};
  std::set<int> seen;
  for (const TaskError error : engine::TaskErrorCodes()) {
    const int status = TaskExitStatus(error);
    EXPECT_EQ(status, engine::TaskErrorCode(error));
    EXPECT_GT(status, 0);
    EXPECT_LT(status, 256) << "an exit status is one byte";
    EXPECT_EQ(ownStatuses.count(status), 0u) << "status " << status << " means something else";
    EXPECT_TRUE(seen.insert(status).second) << "status " << status << " twice";
  }
  // The numbers --help and the messages name.
  EXPECT_EQ(TaskExitStatus(TaskError::kManualStop), 25);
  EXPECT_EQ(TaskExitStatus(TaskError::kImageDamaged), 29);
  EXPECT_EQ(TaskExitStatus(TaskError::kVerifyFailed), 36);
}

TEST(ExitStatus, AnEndWithoutAKnownErrorIsNeverSuccess) {
  // A task reported as still running has no end: it must not exit 0.
  EXPECT_EQ(TaskExitStatus(TaskError::kRunning), engine::TaskErrorCode(TaskError::kUnknown));
  EXPECT_EQ(TaskExitStatus(TaskError::kUnknown), 254);
  // A disk operation's own number and a number that names nothing.
  EXPECT_EQ(TaskExitStatus(engine::TaskErrorFromCode(16)), 16);
  EXPECT_EQ(TaskExitStatus(engine::TaskErrorFromCode(17)), 17);
  EXPECT_EQ(TaskExitStatus(engine::TaskErrorFromCode(-3)), 254);
  EXPECT_EQ(TaskExitStatus(engine::TaskErrorFromCode(1000)), 254);
}

}  // namespace
}  // namespace stow::cli
