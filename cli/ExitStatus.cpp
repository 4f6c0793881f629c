#include "cli/ExitStatus.h"

namespace stow::cli {

int TaskExitStatus(engine::TaskError error) {
  switch (error) {
    case engine::TaskError::kSuccess:
      return 0;
    case engine::TaskError::kRunning:
      return engine::TaskErrorCode(engine::TaskError::kUnknown);
    default:
      return engine::TaskErrorCode(error);
  }
}

}  // namespace stow::cli
