// The seam through which tests run a TaskState with thread bodies of their
// own: the four bodies a task may start, and a failure to create a thread.
// Only tests construct a TaskState with one; the program's runs the engine's
// workers.
#pragma once

#include <functional>

#include "engine/image/ImageFormat.h"

namespace stow::engine {

class TaskState;

struct TaskThreads {
  std::function<void(TaskState&)> readPartition;
  std::function<void(TaskState&, ImageHeader)> backupWrite;
  std::function<void(TaskState&)> readFromFile;
  std::function<void(TaskState&)> writePartition;
  // A thread that cannot be created: 1 the reader's, 2 the writer's.
  int failSpawn = 0;

  // The engine's workers, for a test that replaces only some of them.
  static TaskThreads Default();
};

}  // namespace stow::engine
