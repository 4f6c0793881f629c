#include "platform/Isolated.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace stow::platform {

int RunIsolated(const std::function<int()>& work) {
  const pid_t pid = ::fork();
  if (pid < 0) return kIsolatedNotStarted;
  if (pid == 0) {
    // The child dies quietly of a fatal signal: handlers the parent installed
    // (crash reporters, sanitizers) would report the parent's state for it.
    for (const int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP}) {
      ::signal(signal, SIG_DFL);
    }
    int result = work();
    if (result < 0 || result > kIsolatedMaxResult) result = kIsolatedMaxResult;
    // No exit handlers or stream flushes of the parent's state run twice.
    ::_exit(result);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return kIsolatedCrashed;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return kIsolatedCrashed;
}

}  // namespace stow::platform
