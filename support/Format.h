// printf-style formatting into a std::string, for log lines and the details of
// task errors. The whole text is kept, however long.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/Log.h"

namespace stow {

std::string FormatString(const char* format, ...) STOW_PRINTF(1, 2);

// Fills a string-table text: each %C, %s or %d takes the next argument in order
// (a volume's display name stands where a drive letter stood); "%%" gives "%".
std::string FormatText(std::string_view format, const std::vector<std::string>& args);

}  // namespace stow
