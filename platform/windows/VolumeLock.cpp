// Task locks on Windows: LockFileEx on one lock file per volume, so that every
// process of this program meets on it; the process keeps one handle per
// locked volume in a registry and counts how often its tasks hold it. The
// handles are not inheritable, so the tools a task runs hold nothing.
#include "platform/VolumeLock.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/VolumeUse.h"
#include "platform/windows/WinLocks.h"

namespace stow::platform {
namespace win {

int LockKeyOf(const std::string& path, std::string& key) {
  if (const wchar_t letter = DriveLetterOf(path); letter != 0) {
    key = std::string("v") + static_cast<char>(letter);
    return 0;
  }
  constexpr const char* kDrivePrefix = "\\\\.\\PhysicalDrive";
  if (path.rfind(kDrivePrefix, 0) == 0) {
    key = "d" + path.substr(std::char_traits<char>::length(kDrivePrefix));
    return 0;
  }
  Handle file(::CreateFileW(Widen(path).c_str(), 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.Valid()) return LastErrno();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.Get(), &info)) return LastErrno();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ENOTBLK;
  char text[64];
  std::snprintf(text, sizeof text, "f%08lx-%08lx%08lx", info.dwVolumeSerialNumber,
                info.nFileIndexHigh, info.nFileIndexLow);
  key = text;
  return 0;
}

int TakeAdvisoryLock(const std::string& path, bool exclusive, Handle& out) {
  std::string key;
  if (const int error = LockKeyOf(path, key); error != 0) return error;
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return LastErrno();
  std::wstring folder = std::wstring(temp, length) + L"stowline-locks";
  if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    return LastErrno();
  }
  const std::wstring file = folder + L"\\" + Widen(key) + L".lock";
  Handle handle(::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.Valid()) return LastErrno();
  OVERLAPPED overlapped{};
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (!::LockFileEx(handle.Get(), flags, 0, 1, 0, &overlapped)) {
    const DWORD error = ::GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? EWOULDBLOCK
                                                                      : ErrnoFromWin32(error);
  }
  out = std::move(handle);
  return 0;
}

}  // namespace win

namespace {

struct Entry {
  win::Handle handle;
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

int AcquireOne(const std::string& path, LockMode mode, std::string& key) {
  if (const int error = win::LockKeyOf(path, key); error != 0) return error;
  auto& registry = Registry();
  if (auto it = registry.find(key); it != registry.end()) {
    if (it->second.mode == LockMode::kShared && mode == LockMode::kExclusive) return EWOULDBLOCK;
    ++it->second.count;
    return 0;
  }
  win::Handle handle;
  if (const int error = win::TakeAdvisoryLock(path, mode == LockMode::kExclusive, handle);
      error != 0) {
    return error;
  }
  Entry& entry = registry[key];
  entry.handle = std::move(handle);
  entry.mode = mode;
  entry.count = 1;
  return 0;
}

void ReleaseOne(const std::string& key) {
  auto& registry = Registry();
  auto it = registry.find(key);
  if (it == registry.end()) return;
  if (--it->second.count > 0) return;
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
  if (win::LockKeyOf(path, key) != 0) return false;
  std::lock_guard<std::mutex> guard(RegistryMutex());
  return Registry().contains(key);
}

}  // namespace stow::platform
