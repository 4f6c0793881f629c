// Small helpers for the commands' --json output.
#pragma once

#include <string>

namespace stow::cli {

// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);

}  // namespace stow::cli
