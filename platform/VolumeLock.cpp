// The task locks' rules; the system's lock underneath comes from
// TheVolumeLockSystem().
#include "platform/VolumeLock.h"

#include <cerrno>
#include <utility>

#include "platform/TaskLockRegistry.h"

namespace stow::platform {
namespace {

TaskLockRegistry& ProcessRegistry() {
  static TaskLockRegistry registry(TheVolumeLockSystem());
  return registry;
}

}  // namespace

TaskLock::~TaskLock() { Release(); }

void TaskLock::Release() {
  if (registry_ == nullptr) return;
  registry_->Release(held_);
}

void TaskLockRegistry::Release(std::vector<std::string>& keys) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const std::string& key : keys) ReleaseOne(key);
  keys.clear();
}

int TaskLockRegistry::AcquireOne(const std::string& path, LockMode mode, std::string& key) {
  if (const int error = system_.KeyOf(path, key); error != 0) return error;
  if (auto it = entries_.find(key); it != entries_.end()) {
    // A lock of this process: as strong as asked, or shared where exclusive is
    // asked (a task of this process reads what it would write: refused).
    if (it->second.mode == LockMode::kShared && mode == LockMode::kExclusive) return EWOULDBLOCK;
    ++it->second.count;
    return 0;
  }
  std::unique_ptr<SystemVolumeLock> lock;
  if (const int error = system_.Take(path, mode, lock); error != 0) return error;
  Entry& entry = entries_[key];
  entry.lock = std::move(lock);
  entry.mode = mode;
  entry.count = 1;
  return 0;
}

void TaskLockRegistry::ReleaseOne(const std::string& key) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  if (--it->second.count > 0) return;
  entries_.erase(it);
}

int TaskLockRegistry::Lock(const std::string& path, LockMode mode, std::shared_ptr<TaskLock>& out,
                           std::string* conflict) {
  std::vector<std::string> holders;
  std::vector<std::string> inside;
  if (const int error = system_.Relatives(path, holders, inside); error != 0) return error;
  std::vector<std::pair<std::string, LockMode>> targets{{path, mode}};
  for (const std::string& h : holders) targets.emplace_back(h, LockMode::kShared);
  // A writer of a volume inside this one takes a shared lock on this one; a
  // reader must also meet a writer of a volume inside it.
  if (mode == LockMode::kShared) {
    for (const std::string& i : inside) targets.emplace_back(i, LockMode::kShared);
  }
  auto lock = std::make_shared<TaskLock>();
  lock->registry_ = this;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& [target, targetMode] : targets) {
      std::string key;
      const int error = AcquireOne(target, targetMode, key);
      if (error == 0) {
        lock->held_.push_back(key);
        continue;
      }
      // A related volume that has gone (a deleted backing file) holds nothing.
      if (error == ENOENT && target != path) continue;
      for (const std::string& k : lock->held_) ReleaseOne(k);
      lock->held_.clear();
      if (conflict != nullptr) *conflict = target;
      return error;
    }
  }
  // Outside the mutex: a lock `out` held before is released here.
  out = std::move(lock);
  return 0;
}

bool TaskLockRegistry::Holds(const std::string& path) {
  std::string key;
  if (system_.KeyOf(path, key) != 0) return false;
  std::lock_guard<std::mutex> guard(mutex_);
  return entries_.contains(key);
}

int LockVolumeForTask(const std::string& path, LockMode mode, std::shared_ptr<TaskLock>& out,
                      std::string* conflict) {
  return ProcessRegistry().Lock(path, mode, out, conflict);
}

bool ProcessHoldsTaskLock(const std::string& path) { return ProcessRegistry().Holds(path); }

}  // namespace stow::platform
