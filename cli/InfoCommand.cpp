#include "cli/Commands.h"
namespace stow::cli {
int RunInfo(const Args&) { return Fail(1, "info: not available yet"); }
}  // namespace stow::cli
