// The ntfs-3g driver started in the foreground ("no_detach") as our child: its
// process id is then known, and Unmount can wait for that very process to have
// flushed and closed the volume. A detached driver would leave the volume busy
// for an unknown time after umount returns.
#include "platform/PrivateMount.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/Process.h"
#include "support/Log.h"

namespace stow::platform {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr const char* kDriver = "ntfs-3g";
constexpr milliseconds kPollInterval{20};
// Bounds on the waits: a driver that neither mounts nor exits within these is
// treated as failed (mount) or stopped (unmount).
constexpr int kMountPolls = 1500;     // 30 s
constexpr int kUnmountAttempts = 50;  // 100 ms apart
constexpr milliseconds kUnmountRetryDelay{100};
constexpr int kDriverExitPolls = 6000;  // 120 s
// umount of a FUSE mount waits for the driver to flush; the driver gets its
// own bound above, so one umount needs no longer than that either.
constexpr std::chrono::seconds kUmountTimeLimit{120};

bool IsMountPoint(const std::string& path, const std::string& parent) {
  struct stat inner {};
  struct stat outer {};
  if (::stat(path.c_str(), &inner) != 0 || ::stat(parent.c_str(), &outer) != 0) return false;
  return inner.st_dev != outer.st_dev;
}

// Waits for `pid` with a bound; kills it when the bound passes. Returns its exit status.
int WaitForDriver(pid_t pid, int polls) {
  int status = 0;
  for (int i = 0; i < polls; ++i) {
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) return status;
    if (got < 0 && errno != EINTR) return -1;
    std::this_thread::sleep_for(kPollInterval);
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return -1;
}

int SpawnDriver(const std::string& volume, const std::string& mountPoint, bool readOnly,
                pid_t& pid) {
  std::string driver;
  if (const int resolved = ResolveProgram(kDriver, driver); resolved != 0) {
    LogLess("private mount: %s is not in the system's program folders", kDriver);
    return resolved;
  }
  LogLess("private mount: running %s", driver.c_str());
  const std::string options = std::string(readOnly ? "ro" : "rw") + ",no_detach";
  std::vector<std::string> argv = {kDriver, "-o", options, volume, mountPoint};
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // The driver outlives this call: a descriptor of another thread (a volume
  // lock's, say) that it inherited would stay open as long as the mount.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  const int rc = ::posix_spawn(&pid, driver.c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc;
}

std::string TempPattern() {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  return ((ec ? fs::path("/tmp") : base) / "stowline-XXXXXX").string();
}

}  // namespace

int MakePrivateTempDirectory(std::string& path) {
  std::string pattern = TempPattern();
  if (::mkdtemp(pattern.data()) == nullptr) return errno;
  path = pattern;
  return 0;
}

PrivateNtfsMount::~PrivateNtfsMount() {
  const std::string path = path_;
  if (const int error = Unmount(); error != 0) {
    LogLess("private mount %s: the driver did not end cleanly, error=%d", path.c_str(), error);
  }
}

int PrivateNtfsMount::Mount(const std::string& volume, bool readOnly) {
  if (const int error = Unmount(); error != 0) {
    LogLess("private mount %s: the earlier mount did not end cleanly, error=%d", path_.c_str(),
            error);
  }
  const int made = MakePrivateTempDirectory(path_);
  if (made != 0) return made;
  const std::string parent = fs::path(path_).parent_path().string();

  pid_t pid = -1;
  const int spawnError = SpawnDriver(volume, path_, readOnly, pid);
  if (spawnError != 0) {
    ::rmdir(path_.c_str());
    path_.clear();
    return spawnError;
  }
  for (int i = 0; i < kMountPolls; ++i) {
    if (IsMountPoint(path_, parent)) {
      driver_ = pid;
      return 0;
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      // The driver gave up: a missing program exits with 127 from the spawn.
      ::rmdir(path_.c_str());
      path_.clear();
      return WIFEXITED(status) && WEXITSTATUS(status) == 127 ? ENOENT : EIO;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  driver_ = pid;
  // The mount never appeared; whatever the clean-up finds, the answer is the time-out.
  static_cast<void>(Unmount());
  return ETIMEDOUT;
}

int PrivateNtfsMount::Unmount() {
  if (path_.empty()) return 0;
  int result = 0;
  if (driver_ > 0) {
    const std::string parent = fs::path(path_).parent_path().string();
    ProgramRun run;
    run.argv = {"umount", path_};
    run.timeLimit = kUmountTimeLimit;
    for (int attempt = 0; attempt < kUnmountAttempts && IsMountPoint(path_, parent); ++attempt) {
      if (RunProgram(run).Succeeded()) break;
      std::this_thread::sleep_for(kUnmountRetryDelay);
    }
    // Still busy: detach it now; the driver exits once the last user lets go.
    // Whether it worked shows in the driver's exit, awaited next.
    if (IsMountPoint(path_, parent)) {
      run.argv = {"umount", "-l", path_};
      static_cast<void>(RunProgram(run));
    }
    const int status = WaitForDriver(driver_, kDriverExitPolls);
    if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) result = EIO;
    driver_ = -1;
  }
  ::rmdir(path_.c_str());
  path_.clear();
  return result;
}

}  // namespace stow::platform
