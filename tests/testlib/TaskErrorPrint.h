// Lets a failed expectation on a TaskError print its number rather than raw
// bytes.
#pragma once

#include <ostream>

#include "engine/core/TaskError.h"

namespace stow::engine {

inline void PrintTo(TaskError error, std::ostream* os) {
  *os << "task error " << TaskErrorCode(error);
}

}  // namespace stow::engine
