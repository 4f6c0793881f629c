// The steps the courses are built from (Courses.h puts them in order). Each
// runs on the course's thread with the course's working state and gives one
// status; the front end hears of it through the state's Ask, Tell and
// Progress.
#pragma once

#include <functional>

#include "tasks/Course.h"
#include "tasks/CourseState.h"

namespace stow::tasks {

// A refusal as a step's status.
StepStatus Refused(const Refusal& refusal);

// A page's choice was made on the inventory it showed: the same volumes in the
// same places, or `partitionInfoHaveChanged`. Passes a choice made by name.
StepStatus CheckShown(const CourseState& course);

// Follows the running engine task, reporting its figures each tick (a false
// answer raises the stop flag). With `untilVerify` it gives success as soon
// as the engine moves on to reading back what it wrote. A failure formats the
// destination of a copy or restore again, so that it is left an empty volume,
// and says so.
StepStatus FollowEngine(CourseState& course, bool untilVerify);

// Runs `work` on a thread of its own and reports the waiting text of
// `waitingId` with a dot more each second until it has ended. Such work
// cannot be stopped halfway; the front end's answer is not taken.
void RunWaiting(CourseState& course, const char* waitingId, const std::function<void()>& work);

// Copy and restore (DestinationSteps.cpp).
StepStatus CheckCopyStep(CourseState& course);
StepStatus CheckRestoreStep(CourseState& course);
StepStatus SplitStep(CourseState& course);
StepStatus FormatStep(CourseState& course);
StepStatus DestinationTransferStep(CourseState& course);
StepStatus ReadBackStep(CourseState& course);

// After a copy or restore (RepairSteps.cpp).
StepStatus DiskCheckStep(CourseState& course);
StepStatus RegistryStep(CourseState& course);
StepStatus BootFilesStep(CourseState& course);
StepStatus ActivationStep(CourseState& course);

// Backup (BackupSteps.cpp).
StepStatus CheckBackupStep(CourseState& course);
StepStatus BackupTransferStep(CourseState& course);
StepStatus ImageReadBackStep(CourseState& course);

}  // namespace stow::tasks
