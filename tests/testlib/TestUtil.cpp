#include "tests/testlib/TestUtil.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include "platform/Process.h"

namespace stow::test {

extern "C" char** environ;

// Tests run their tools and the program under test through PATH, unlike the
// program itself, which takes other programs only from the system's folders.
CommandResult Run(const std::vector<std::string>& argv) {
  CommandResult r;
  if (argv.empty()) return r;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return r;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    r.output.append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return r;
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

CommandResult Shell(const std::string& command) { return Run({"sh", "-c", command}); }

namespace {

// Every stowline-cli these tests start logs into the build tree, never into the
// system's log folder (a test that names its own log file still can).
[[maybe_unused]] const bool kCliLogInBuildTree = [] {
  const fs::path dir = fs::path(STOWLINE_CLI_PATH).parent_path() / "test-logs";
  std::error_code error;
  fs::create_directories(dir, error);
  ::setenv("STOWLINE_LOG", (dir / "Larkspur.log").c_str(), 0);
  return true;
}();

}  // namespace

CommandResult RunCli(const std::vector<std::string>& args) {
  std::vector<std::string> argv{STOWLINE_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv);
}

CommandResult RunCliWithStandIn(const std::string& program, const std::string& script,
                                const std::vector<std::string>& args) {
  std::string real;
  if (platform::ResolveProgram(program, real) != 0) {
    return CommandResult{-1, program + " is not installed"};
  }
  TempDir dir;
  const fs::path standIn = dir / program;
  {
    std::ofstream out(standIn);
    out << "#!/bin/sh\n" << script << "\n";
  }
  ::chmod(standIn.c_str(), 0755);
  std::vector<std::string> argv{"unshare",
                                "--mount",
                                "--propagation",
                                "private",
                                "sh",
                                "-c",
                                "mount --bind \"$1\" \"$2\" && shift 2 && exec \"$@\"",
                                "sh",
                                standIn.string(),
                                real,
                                STOWLINE_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv);
}

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

bool HaveTool(const std::string& name) {
  return Shell("command -v " + Quote(name) + " >/dev/null 2>&1").status == 0;
}

bool IsRoot() { return ::geteuid() == 0; }

bool HaveFuse() { return ::access("/dev/fuse", R_OK | W_OK) == 0; }

bool HaveLoopDevices() { return ::access("/dev/loop-control", R_OK | W_OK) == 0; }

std::string MissingForIntegration(const std::vector<std::string>& tools, bool needLoop,
                                  bool needFuse) {
  if ((needLoop || needFuse) && !IsRoot()) return "needs root";
  if (needLoop && !HaveLoopDevices()) return "needs loop devices (/dev/loop-control)";
  if (needFuse && !HaveFuse()) return "needs FUSE (/dev/fuse)";
  for (const auto& t : tools) {
    if (!HaveTool(t)) return "needs the tool '" + t + "' (scripts/install-deps.sh installs it)";
  }
  return {};
}

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "stowline-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

namespace {

// True while the kernel lists partitions of `device` ("/dev/loop3" has "loop3p1").
bool HasPartitionNodes(const std::string& device) {
  const std::string name = fs::path(device).filename().string();
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fs::path("/sys/block") / name, error)) {
    if (entry.path().filename().string().starts_with(name + "p")) return true;
  }
  return false;
}

// Deletes the kernel's partitions of `device`. Deleting one fails while any
// process has it open, and other tests running in parallel open every volume
// for a moment when they list the machine's volumes; a partition left behind
// outlives the detach and would be found, stale, by the next test that gets
// the same loop device. So the deletion is retried until none is left.
void DeletePartitionNodes(const std::string& device) {
  for (int attempt = 0; attempt < 100 && HasPartitionNodes(device); ++attempt) {
    if (Run({"partx", "-d", device}).status == 0 && !HasPartitionNodes(device)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace

LoopDevice::LoopDevice(const fs::path& image, bool withPartitions, uint32_t sectorSize) {
  std::vector<std::string> argv{"losetup", "--find", "--show"};
  if (sectorSize != 0) argv.insert(argv.end(), {"--sector-size", std::to_string(sectorSize)});
  argv.push_back(image.string());
  const CommandResult r = Run(argv);
  if (r.status != 0) return;
  device_ = r.output.substr(0, r.output.find('\n'));
  // Partitions an earlier user of this loop device could not delete describe
  // another image: remove them before this image's are added.
  DeletePartitionNodes(device_);
  if (withPartitions) {
    // This kernel does not scan partitions of loop devices by itself.
    Run({"partx", "-a", device_});
  }
}

LoopDevice::~LoopDevice() {
  if (device_.empty()) return;
  DeletePartitionNodes(device_);
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (Run({"losetup", "-d", device_}).status == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::string LoopDevice::Partition(int number) const {
  return device_ + "p" + std::to_string(number);
}

NtfsMount::NtfsMount(const std::string& volume, bool readOnly, const std::string& options) {
  std::vector<std::string> argv{"ntfs-3g"};
  std::string opts = readOnly ? "ro" : "rw";
  if (!options.empty()) opts += "," + options;
  argv.insert(argv.end(), {"-o", opts, volume, dir_.Path().string()});
  const CommandResult r = Run(argv);
  mounted_ = r.status == 0;
  if (!mounted_) error_ = r.output;
}

namespace {

// On a regular file ntfs-3g runs as a plain FUSE file system, and umount returns
// before the driver has written its last changes; wait for the driver to exit.
void WaitForDriverExit(const std::string& mountPoint) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (Run({"pgrep", "-f", "--", "ntfs-3g .*" + mountPoint}).status != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace

bool NtfsMount::Unmount() {
  if (!mounted_) return true;
  const std::string mountPoint = dir_.Path().string();
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (Run({"umount", mountPoint}).status == 0) {
      mounted_ = false;
      WaitForDriverExit(mountPoint);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Run({"umount", "-l", mountPoint});
  mounted_ = false;
  WaitForDriverExit(mountPoint);
  return false;
}

NtfsMount::~NtfsMount() { Unmount(); }

}  // namespace stow::test
