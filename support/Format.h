// printf-style formatting into a std::string, for log lines and the details of
// task errors. The whole text is kept, however long.
#pragma once

#include <string>

#include "support/Log.h"

namespace stow {

std::string FormatString(const char* format, ...) STOW_PRINTF(1, 2);

}  // namespace stow
