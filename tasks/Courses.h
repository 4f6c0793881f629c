// The courses of the three task kinds, built once here for every front end
// from the task's description:
//   copy:    check, split, format, transfer, [read-back], [disk check, registry,
//            boot files, activation]
//   restore: the same
//   backup:  check, transfer, [read-back]
// The steps in brackets are there when the description asks for them (verify,
// repair). A step that has nothing to do (no split needed, no system to make
// bootable) succeeds at once.
#pragma once

#include <memory>
#include <vector>

#include "engine/transfer/TaskState.h"
#include "tasks/Course.h"
#include "tasks/CourseState.h"
#include "tasks/TaskDescription.h"

namespace stow::tasks {

// The names of the steps, as the log and the progress show them.
inline constexpr const char* kStepCheck = "check";
inline constexpr const char* kStepSplit = "split";
inline constexpr const char* kStepFormat = "format";
inline constexpr const char* kStepTransfer = "transfer";
inline constexpr const char* kStepReadBack = "read-back";
inline constexpr const char* kStepDiskCheck = "disk check";
inline constexpr const char* kStepRegistry = "registry";
inline constexpr const char* kStepBootFiles = "boot files";
inline constexpr const char* kStepActivation = "activation";

// The steps after the engine of a copy or restore: the disk check, the
// registry, the boot files, the activation. They work on the course's
// `request` (CourseState.h), which the transfer fills.
std::vector<Step> RepairSteps();

// The course of `task` on `state` with `parts`.
std::unique_ptr<Course> BuildCourse(const TaskDescription& task, engine::TaskState& state,
                                    CourseParts parts = CourseParts::System());

}  // namespace stow::tasks
