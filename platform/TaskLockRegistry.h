// The rules of the task locks (VolumeLock.h), the same on every system: which
// volumes a lock also takes, and the registry that counts how often the tasks
// of this process hold the lock of one volume, so that the system's lock is
// taken once per volume and let go with the last holder. Underneath, the
// system's own lock (flock on Linux, LockFileEx on Windows) behind
// VolumeLockSystem.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/VolumeLock.h"

namespace stow::platform {

// One lock of the system on one volume; destroying it lets go of it.
class SystemVolumeLock {
 public:
  virtual ~SystemVolumeLock() = default;
};

// What the rules need from the system.
class VolumeLockSystem {
 public:
  virtual ~VolumeLockSystem() = default;
  // The name every spelling of the volume or file `path` meets on. 0, or the
  // system error (ENOENT when it does not exist).
  virtual int KeyOf(const std::string& path, std::string& key) = 0;
  // The volumes that hold `path` and those that lie inside it
  // (QueryVolumeRelatives). 0, or the system error.
  virtual int Relatives(const std::string& path, std::vector<std::string>& holders,
                        std::vector<std::string>& inside) = 0;
  // Takes the system's lock on `path` without waiting: 0 with `out` holding
  // it, EWOULDBLOCK when another process holds a conflicting one, or another
  // system error.
  virtual int Take(const std::string& path, LockMode mode,
                   std::unique_ptr<SystemVolumeLock>& out) = 0;
};

// The system's part on this system (linux/VolumeLock.cpp, windows/VolumeLock.cpp).
VolumeLockSystem& TheVolumeLockSystem();

// The locks of the tasks of one process. The process has one
// (LockVolumeForTask); tests make their own over a system of their own. It
// outlives every TaskLock it hands out.
class TaskLockRegistry {
 public:
  explicit TaskLockRegistry(VolumeLockSystem& system) : system_(system) {}
  TaskLockRegistry(const TaskLockRegistry&) = delete;
  TaskLockRegistry& operator=(const TaskLockRegistry&) = delete;

  // As LockVolumeForTask.
  int Lock(const std::string& path, LockMode mode, std::shared_ptr<TaskLock>& out,
           std::string* conflict);
  // As ProcessHoldsTaskLock.
  bool Holds(const std::string& path);

 private:
  friend class TaskLock;
  struct Entry {
    std::unique_ptr<SystemVolumeLock> lock;
    LockMode mode = LockMode::kShared;
    int count = 0;
  };
  // Both with mutex_ held.
  int AcquireOne(const std::string& path, LockMode mode, std::string& key);
  void ReleaseOne(const std::string& key);
  void Release(std::vector<std::string>& keys);

  VolumeLockSystem& system_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

}  // namespace stow::platform
