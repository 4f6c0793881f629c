#include "platform/Process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace stow::platform {

void RunProcess(const std::vector<std::string>& argv, size_t outputLimit, ProcessOutcome& out) {
  out = ProcessOutcome{};
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    out.error = errno;
    return;
  }
  if (argv.empty()) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    out.stage = ProcessStage::kStart;
    out.error = EINVAL;
    return;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    out.stage = ProcessStage::kStart;
    out.error = rc;
    return;
  }

  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const size_t room = outputLimit - out.output.size();
    const size_t keep = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
    out.output.append(buffer, keep);
    if (keep < static_cast<size_t>(n)) out.outputTruncated = true;
  }
  ::close(pipeFds[0]);

  int status = 0;
  out.stage = ProcessStage::kEnded;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      out.error = errno;
      return;
    }
  }
  if (WIFEXITED(status)) {
    out.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    out.exitStatus = 128 + WTERMSIG(status);
  }
}

int RunProgram(const std::vector<std::string>& argv, std::string& output) {
  ProcessOutcome outcome;
  RunProcess(argv, std::string::npos, outcome);
  output = std::move(outcome.output);
  if (outcome.stage != ProcessStage::kEnded || outcome.error != 0) return -1;
  return outcome.exitStatus;
}

}  // namespace stow::platform
