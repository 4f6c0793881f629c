#include "cli/RepairConsole.h"

#include <algorithm>
#include <string>

namespace stow::cli {

bool TakeNoRepairOption(Args& args) {
  const auto kept = std::remove(args.begin(), args.end(), std::string(kNoRepairOption));
  const bool found = kept != args.end();
  args.erase(kept, args.end());
  return found;
}

}  // namespace stow::cli
