// A small reader and writer for INI settings files ("[SECTION]" headers and "KEY=value" lines).
//
// The behaviour follows the private-profile calls the settings file was designed around:
// section and key names match without regard to ASCII case and with blanks around them
// ignored, a value loses its surrounding blanks and one pair of matching quotes, lines
// starting with ';' or '#' are comments, CRLF and LF line ends are both accepted, and an
// integer read takes the leading decimal integer of the value (no digits: 0). Writing a key
// keeps every other line of the file as it was, including its line ends.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace stow {

// Settings files are small; a larger file is not read, and not rewritten either, so that a
// stray huge file is neither loaded into memory nor truncated.
inline constexpr size_t kIniMaxFileBytes = 1u << 20;

// Text level: the parser and editor, free of any file access.

// The value of `key` in the first `section` of `text`, or nothing when absent.
std::optional<std::string_view> IniFindValue(std::string_view text, std::string_view section,
                                             std::string_view key);

// The leading decimal integer of a value, after blanks, with an optional sign; 0 when there
// are no digits. Values beyond the 32-bit range saturate to INT32_MIN or INT32_MAX.
int IniParseInt(std::string_view value);

// True when `section`, `key` and `value` can be written without changing the file's
// structure (no line breaks, no ']' in the section, no '=' in the key, non-empty names).
bool IniCanStore(std::string_view section, std::string_view key, std::string_view value);

// `text` with `key` in `section` set to `value`: the first existing entry is replaced, else
// the key is added at the end of the section, else the section is appended. The file's own
// line end (CRLF or LF) is used for new lines. The names must pass IniCanStore.
std::string IniSetValue(std::string_view text, std::string_view section, std::string_view key,
                        std::string_view value);

// File level.

// Like the private-profile integer read: `defaultValue` when the file, the section or the key
// is missing or the value is empty, else the value's leading integer.
int IniReadInt(const std::string& path, std::string_view section, std::string_view key,
               int defaultValue);

// The value as a string, or nothing when the file, section or key is missing.
std::optional<std::string> IniReadString(const std::string& path, std::string_view section,
                                         std::string_view key);

// Like the private-profile string write: sets the key, creating the file and the section when
// needed. The new contents replace the file in one rename, so a failure leaves the old file
// whole. Returns false when nothing was written.
bool IniWriteString(const std::string& path, std::string_view section, std::string_view key,
                    std::string_view value);

}  // namespace stow
