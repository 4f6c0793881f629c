#include "platform/Isolated.h"

namespace stow::platform {

// Windows has no fork. The work that runs here isolated on Linux (a hive
// library that may abort on a hostile file) goes through the system's own
// registry on Windows, which reports a damaged hive as an error instead of
// stopping the process; the work runs in this process and its result is
// clamped as a child's would be.
int RunIsolated(const std::function<int()>& work) {
  int result = work();
  if (result < 0 || result > kIsolatedMaxResult) result = kIsolatedMaxResult;
  return result;
}

}  // namespace stow::platform
