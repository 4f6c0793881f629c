// The runner on Linux: posix_spawn into a process group of its own, with the
// output on a non-blocking pipe, and the program's end watched through a
// process descriptor (pidfd) where the kernel has one, or by polling.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/Process.h"
#include "support/Log.h"

namespace stow::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A descriptor closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Close() {
    // A close of a pipe or process descriptor has nothing to flush.
    if (fd_ >= 0) static_cast<void>(::close(fd_));
    fd_ = -1;
  }

 private:
  int fd_;
};

// posix_spawn's attributes and file actions, destroyed on every path.
struct SpawnSetup {
  posix_spawn_file_actions_t actions{};
  posix_spawnattr_t attributes{};
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// This process's environment with `extra` ("NAME=value") added or replacing.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& e) {
      return std::string_view(e).substr(0, e.find('=')) == name;
    });
    if (!replaced) merged.emplace_back(text);
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Starts `program` in a process group of its own: standard input from the
// null device, standard output and standard error into `output`, every other
// descriptor closed, the signal mask empty and every signal at its default.
int Spawn(const std::string& program, const ProgramRun& run, int output, pid_t& pid) {
  SpawnSetup setup;
  posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&setup.actions, output, 1);
  posix_spawn_file_actions_adddup2(&setup.actions, output, 2);
  // Descriptors of other threads opened without O_CLOEXEC never reach the child.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setflags(&setup.attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const std::vector<char*> args = Pointers(run.argv);
  if (run.environment.empty()) {
    return ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, args.data(),
                         environ);
  }
  const std::vector<std::string> environment = MergedEnvironment(run.environment);
  const std::vector<char*> env = Pointers(environment);
  return ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, args.data(),
                       env.data());
}

// A descriptor that becomes readable when `pid` ends (close-on-exec), or -1
// on kernels without one. Called through syscall: glibc 2.36's declaration
// lacks C linkage.
int OpenProcessDescriptor(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int ExitStatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Reads the program's output as it comes and keeps what the limit allows.
class OutputReader {
 public:
  OutputReader(const ProgramRun& run, RunOutcome& out)
      : run_(run), out_(out), splitter_([this](std::string_view line) {
          out_.lines.emplace_back(line);
          if (run_.onLine) run_.onLine(line);
        }) {}

  // Reads what `fd` holds now. False once the pipe has ended (or failed).
  bool Drain(int fd) {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n <= 0) return false;
      const size_t got = static_cast<size_t>(n);
      const size_t room = run_.outputLimit - out_.output.size();
      const size_t keep = std::min(got, room);
      out_.output.append(buffer, keep);
      splitter_.Feed(std::string_view(buffer, keep));
      if (keep < got) out_.outputTruncated = true;
    }
  }
  void Finish() { splitter_.Finish(); }

 private:
  const ProgramRun& run_;
  RunOutcome& out_;
  LineSplitter splitter_;
};

// Waits for the program's end while reading its output; kills its group when
// the time limit passes or the stop asks for it. Returns the wait status.
int Follow(pid_t pid, Fd& pipe, const ProgramRun& run, RunOutcome& out, OutputReader& reader) {
  const Fd process(OpenProcessDescriptor(pid));
  const bool limited = run.timeLimit.count() > 0;
  const Clock::time_point deadline = Clock::now() + run.timeLimit;
  int status = 0;
  for (;;) {
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid || (got < 0 && errno != EINTR)) {
      if (got < 0) out.error = errno;
      // What it wrote is in the pipe by now; whatever it started may keep
      // the pipe open, and is not waited for.
      if (pipe.Valid()) static_cast<void>(reader.Drain(pipe.Get()));
      return got == pid ? status : -1;
    }
    if (run.stop && run.stop()) {
      out.end = kStopped;
      break;
    }
    const Clock::time_point now = Clock::now();
    if (limited && now >= deadline) {
      out.end = kTimedOut;
      break;
    }
    // Without a process descriptor, or with a stop or limit to watch, the
    // wait is bounded; otherwise the pipe or the program's end wakes it.
    int timeout = -1;
    if (!process.Valid() || run.stop || limited) {
      milliseconds wait = kStopPollInterval;
      if (limited) {
        wait = std::min(wait, std::chrono::ceil<milliseconds>(deadline - now));
      }
      timeout = static_cast<int>(wait.count());
    }
    pollfd fds[2];
    nfds_t count = 0;
    if (pipe.Valid()) fds[count++] = {pipe.Get(), POLLIN, 0};
    if (process.Valid()) fds[count++] = {process.Get(), POLLIN, 0};
    const int ready = ::poll(fds, count, timeout);
    if (ready > 0 && pipe.Valid() && fds[0].revents != 0 && !reader.Drain(pipe.Get())) {
      pipe.Close();
    }
  }
  // The whole group: a shell's children die with it instead of holding the pipe.
  static_cast<void>(::kill(-pid, SIGKILL));
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      out.error = errno;
      return -1;
    }
  }
  if (pipe.Valid()) static_cast<void>(reader.Drain(pipe.Get()));
  return status;
}

}  // namespace

RunOutcome RunProgram(const ProgramRun& run) {
  RunOutcome out;
  if (run.argv.empty() || ResolveProgram(run.argv[0], out.program) != 0) {
    LogLess("program %s is not in the system's program folders, not run",
            run.argv.empty() ? "(none)" : run.argv[0].c_str());
    out.end = kNotAllowed;
    out.error = ENOENT;
    return out;
  }
  LogLess("running %s", out.program.c_str());

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    out.end = kNoPipe;
    out.error = errno;
    out.program.clear();
    return out;
  }
  Fd readEnd(fds[0]);
  Fd writeEnd(fds[1]);
  if (::fcntl(readEnd.Get(), F_SETFL, O_NONBLOCK) != 0) {
    out.end = kNoPipe;
    out.error = errno;
    out.program.clear();
    return out;
  }
  pid_t pid = -1;
  if (const int error = Spawn(out.program, run, writeEnd.Get(), pid); error != 0) {
    out.end = kStartFailed;
    out.error = error;
    out.program.clear();
    return out;
  }
  writeEnd.Close();

  out.end = kExited;
  OutputReader reader(run, out);
  const int status = Follow(pid, readEnd, run, out, reader);
  reader.Finish();
  out.exitStatus = status < 0 ? -1 : ExitStatusOf(status);
  if (out.end != kExited) {
    LogLess("%s %s, exit status %d", out.program.c_str(), RunEndLabel(out.end), out.exitStatus);
  }
  return out;
}

}  // namespace stow::platform
