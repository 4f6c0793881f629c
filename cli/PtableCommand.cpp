#include "cli/Commands.h"
namespace stow::cli {
int RunPtable(const Args&) { return Fail(1, "ptable: not available yet"); }
}  // namespace stow::cli
