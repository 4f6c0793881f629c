// The locks a task holds on the volumes it works on, from before its first
// write until it has ended (transfer, finalising, disk check and repair): an
// exclusive lock on a volume it writes, a shared lock on one it reads. A
// second task of this program (in another process) whose volume overlaps is
// refused instead of formatting a volume the first one is writing.
//
// Overlapping names meet on one lock: the volumes that hold the locked one
// (the disk of a partition, the file behind a loop device) are locked shared
// too, and a shared lock also covers the partitions and loop devices inside the
// volume. So a restore onto a disk conflicts with one onto its partition, and a
// backup of a volume file with a restore onto a loop device over that file.
//
// The locks are advisory: the system's tools that the task runs on the locked
// volume (the format, the disk check, a mount) open it exclusively in their own
// way and are not hindered by them.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace stow::platform {

enum class LockMode { kShared, kExclusive };

class TaskLockRegistry;

// The locks of one task on one volume; released when destroyed.
class TaskLock {
 public:
  TaskLock() = default;
  ~TaskLock();
  TaskLock(const TaskLock&) = delete;
  TaskLock& operator=(const TaskLock&) = delete;

  void Release();
  bool Held() const { return !held_.empty(); }

 private:
  friend class TaskLockRegistry;
  TaskLockRegistry* registry_ = nullptr;
  std::vector<std::string> held_;  // registry keys
};

// Takes the task's lock on the device or file `path`: 0 and `out` set, or
// EWOULDBLOCK when another task holds a lock that conflicts (`conflict`, when
// given, names the path that is locked), or another system error.
int LockVolumeForTask(const std::string& path, LockMode mode, std::shared_ptr<TaskLock>& out,
                      std::string* conflict = nullptr);

// True when a task of this process holds a lock on the device or file `path`
// itself: exclusive because it writes it, or shared because it writes a volume
// inside it (the boot repair then writes the disk's partition table). Its own
// writers need no lock of their own then; another process's task cannot hold
// a conflicting one.
bool ProcessHoldsTaskLock(const std::string& path);

}  // namespace stow::platform
