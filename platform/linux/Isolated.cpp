#include "platform/Isolated.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace stow::platform {

int RunIsolated(const std::function<int()>& work) {
  const pid_t pid = ::fork();
  if (pid < 0) return kIsolatedNotStarted;
  if (pid == 0) {
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
