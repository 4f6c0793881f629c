// The course of a backup, the same for every front end: the source's checks,
// the image's plan, the question, the engine start, following the task, its
// result and, when asked, the read-back of the finished image. The front end
// drives it (tasks/TaskDriver.h) and words the result its own way.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/transfer/TaskState.h"
#include "tasks/BackupTask.h"
#include "tasks/TaskDriver.h"

namespace stow::tasks {

// What a front end does for a backup besides what every task asks.
class BackupDriver : public TaskDriver {
 public:
  // The progress of the read-back of the image, as VerifyBackupImage takes it
  // (false stops the read); empty: none shown.
  virtual std::function<bool(uint64_t done, uint64_t total)> VerifyProgress() { return {}; }
  // The read-back ended (a front end ends its progress line).
  virtual void VerifyEnded() {}
};

// Where a backup stopped.
enum class BackupEnd {
  kRefused,        // the source's checks or the image's plan refused it: `why`
  kDeclined,       // the question was answered no: nothing was written
  kNotStarted,     // the engine did not start: `startResult`
  kStarted,        // Begin: the engine runs; follow it, then call End
  kFailed,         // the engine failed or was stopped: `code`, `text`, `detail`
  kVerifyStopped,  // the image is complete, but its read-back was stopped
  kVerifyFailed,   // the image read back is not what was written: `verification`
  kDone,           // the image is complete (and read back whole when asked): `text`
};

struct BackupResult {
  BackupEnd end = BackupEnd::kRefused;
  std::string why;
  engine::StartResult startResult = engine::kStartOk;
  engine::TaskError code = engine::TaskError::kSuccess;  // how the engine ended
  std::string text;                                      // BackupResultText(code)
  std::string detail;  // after a failure: what failed where (may be empty)
  BackupVerification verification;
};

struct BackupOptions {
  bool checksums = true;  // write the checksum file beside the image
  bool verify = false;    // read the finished image back and check it against that file
};

class BackupCourse {
 public:
  // The steps of Begin before the question: CheckBackupSource (the source's
  // lock taken) and PlanBackup for today's date. They ask the front end
  // nothing, so a window runs them on a worker thread (reading a large $MFT
  // takes a while). False and `why` when one refuses.
  bool Prepare(const std::string& source, const std::string& image, const BackupOptions& options,
               std::string& why);
  // The steps of Begin after a Prepare that went on: the question and the
  // engine start.
  BackupResult ConfirmAndStart(engine::TaskState& state, BackupDriver& driver);

  // CheckBackupSource (the source's lock taken), PlanBackup for today's date,
  // the question, the engine start, in this order; ends at the first step that
  // does not go on.
  BackupResult Begin(engine::TaskState& state, const std::string& source, const std::string& image,
                     const BackupOptions& options, BackupDriver& driver);
  // The end of a backup Begin started, whose engine finished with `code`: its
  // text, the engine's account of a failure, and the read-back when asked.
  BackupResult End(engine::TaskState& state, engine::TaskError code, BackupDriver& driver);
  // Begin, the driver's Follow and End.
  BackupResult Run(engine::TaskState& state, const std::string& source, const std::string& image,
                   const BackupOptions& options, BackupDriver& driver);

  const BackupPlan& Plan() const { return plan_; }

 private:
  BackupPlan plan_;
  bool verify_ = false;
};

}  // namespace stow::tasks
