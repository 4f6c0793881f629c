// Task locks on Linux: flock on the device node or the file. flock locks
// belong to an open file description, so the process keeps one descriptor per
// locked device or file in a registry and counts how often its tasks hold it;
// the descriptors are closed on exec, so the tools a task runs hold nothing.
#include "platform/VolumeLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/VolumeUse.h"

namespace stow::platform {
namespace {

struct Entry {
  int fd = -1;
  LockMode mode = LockMode::kShared;
  int count = 0;
};

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, Entry>& Registry() {
  static std::map<std::string, Entry> registry;
  return registry;
}

// Devices by number, files by file system and inode: every name of one volume
// meets on one key.
int KeyOf(const std::string& path, std::string& key) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno;
  if (S_ISBLK(st.st_mode)) {
    key = "b" + std::to_string(st.st_rdev);
  } else if (S_ISREG(st.st_mode)) {
    key = "f" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  } else {
    return ENOTBLK;
  }
  return 0;
}

// Takes one lock; the caller holds the registry mutex.
int AcquireOne(const std::string& path, LockMode mode, std::string& key) {
  if (const int error = KeyOf(path, key); error != 0) return error;
  auto& registry = Registry();
  if (auto it = registry.find(key); it != registry.end()) {
    // A lock of this process: as strong as asked, or shared where exclusive is
    // asked (a task of this process reads what it would write: refused).
    if (it->second.mode == LockMode::kShared && mode == LockMode::kExclusive) return EWOULDBLOCK;
    ++it->second.count;
    return 0;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  const int operation = (mode == LockMode::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  if (::flock(fd, operation) != 0) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  registry[key] = Entry{fd, mode, 1};
  return 0;
}

void ReleaseOne(const std::string& key) {
  auto& registry = Registry();
  auto it = registry.find(key);
  if (it == registry.end()) return;
  if (--it->second.count > 0) return;
  ::flock(it->second.fd, LOCK_UN);
  ::close(it->second.fd);
  registry.erase(it);
}

}  // namespace

TaskLock::~TaskLock() { Release(); }

void TaskLock::Release() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  for (const std::string& key : held_) ReleaseOne(key);
  held_.clear();
}

int LockVolumeForTask(const std::string& path, LockMode mode, std::shared_ptr<TaskLock>& out,
                      std::string* conflict) {
  std::vector<std::string> holders;
  std::vector<std::string> inside;
  if (const int error = QueryVolumeRelatives(path, holders, inside); error != 0) return error;
  std::vector<std::pair<std::string, LockMode>> targets{{path, mode}};
  for (const std::string& h : holders) targets.emplace_back(h, LockMode::kShared);
  // A writer of a volume inside this one takes a shared lock on this one; a
  // reader must also meet a writer of a volume inside it.
  if (mode == LockMode::kShared) {
    for (const std::string& i : inside) targets.emplace_back(i, LockMode::kShared);
  }
  auto lock = std::make_shared<TaskLock>();
  std::lock_guard<std::mutex> guard(RegistryMutex());
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
  out = std::move(lock);
  return 0;
}

bool ProcessHoldsTaskLock(const std::string& path) {
  std::string key;
  if (KeyOf(path, key) != 0) return false;
  std::lock_guard<std::mutex> guard(RegistryMutex());
  return Registry().contains(key);
}

}  // namespace stow::platform
