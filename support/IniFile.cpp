#include "support/IniFile.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

namespace stow {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kBlanks = " \t";
constexpr char kTempSuffix[] = ".new";

// One line of the text: [begin, contentEnd) without its line end, next = start of the next line.
struct Line {
  size_t begin = 0;
  size_t contentEnd = 0;
  size_t next = 0;
};

Line LineAt(std::string_view text, size_t begin) {
  Line line;
  line.begin = begin;
  const size_t lf = text.find('\n', begin);
  line.next = lf == std::string_view::npos ? text.size() : lf + 1;
  line.contentEnd = lf == std::string_view::npos ? text.size() : lf;
  if (line.contentEnd > begin && text[line.contentEnd - 1] == '\r') --line.contentEnd;
  return line;
}

std::string_view Trim(std::string_view s) {
  const size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

enum class LineKind { kOther, kSection, kKey };

// What a line is, with the section name or the key and the value's position in the text.
struct Parsed {
  LineKind kind = LineKind::kOther;
  std::string_view name;
  size_t valueBegin = 0;  // just after '=' (kKey)
};

Parsed ParseLine(std::string_view text, const Line& line) {
  Parsed p;
  const std::string_view content = text.substr(line.begin, line.contentEnd - line.begin);
  const std::string_view trimmed = Trim(content);
  if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#') return p;
  if (trimmed[0] == '[') {
    const size_t close = trimmed.find(']');
    if (close == std::string_view::npos) return p;
    p.kind = LineKind::kSection;
    p.name = Trim(trimmed.substr(1, close - 1));
    return p;
  }
  const size_t eq = content.find('=');
  if (eq == std::string_view::npos) return p;
  p.kind = LineKind::kKey;
  p.name = Trim(content.substr(0, eq));
  p.valueBegin = line.begin + eq + 1;
  return p;
}

size_t FirstLineStart(std::string_view text) {
  return text.substr(0, kUtf8Bom.size()) == kUtf8Bom ? kUtf8Bom.size() : 0;
}

// Where a key lives in the text, or where it would be added to its section.
struct KeyLocation {
  bool sectionFound = false;
  bool keyFound = false;
  Line keyLine;
  size_t valueBegin = 0;
  size_t insertAt = 0;          // end of the first matching section's last non-blank line
  bool insertNeedsEol = false;  // that line has no line end (last line of the file)
};

bool EndsWithLineFeed(std::string_view text, const Line& line) {
  return line.next > line.begin && text[line.next - 1] == '\n';
}

KeyLocation Locate(std::string_view text, std::string_view sectionName, std::string_view keyName) {
  const std::string_view section = Trim(sectionName);
  const std::string_view key = Trim(keyName);
  KeyLocation loc;
  bool inSection = false;
  bool inFirstSection = false;
  for (size_t pos = FirstLineStart(text); pos < text.size();) {
    const Line line = LineAt(text, pos);
    pos = line.next;
    const Parsed p = ParseLine(text, line);
    if (p.kind == LineKind::kSection) {
      inSection = SameName(p.name, section);
      inFirstSection = inSection && !loc.sectionFound;
      if (inFirstSection) {
        loc.sectionFound = true;
        loc.insertAt = line.next;
        loc.insertNeedsEol = !EndsWithLineFeed(text, line);
      }
      continue;
    }
    if (!inSection) continue;
    if (p.kind == LineKind::kKey && SameName(p.name, key)) {
      loc.keyFound = true;
      loc.keyLine = line;
      loc.valueBegin = p.valueBegin;
      return loc;
    }
    if (inFirstSection && !Trim(text.substr(line.begin, line.contentEnd - line.begin)).empty()) {
      loc.insertAt = line.next;
      loc.insertNeedsEol = !EndsWithLineFeed(text, line);
    }
  }
  return loc;
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

std::string_view LineEndOf(std::string_view text) {
  const size_t lf = text.find('\n');
  return lf != std::string_view::npos && lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
}

// The line end that closes an unterminated last line: a lone CR only needs its LF, or the
// CR would end up as part of the line's value.
std::string_view LineEndAfter(std::string_view text, std::string_view eol) {
  return !text.empty() && text.back() == '\r' ? "\n" : eol;
}

enum class ReadResult { kOk, kMissing, kFailed };

// Reads a whole settings file; kFailed for anything that is not a readable regular file of
// at most kIniMaxFileBytes.
ReadResult ReadFile(const std::string& path, std::string& out) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return ReadResult::kMissing;
  if (ec || status.type() != fs::file_type::regular) return ReadResult::kFailed;
  const uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kIniMaxFileBytes) return ReadResult::kFailed;
  std::ifstream in(path, std::ios::binary);
  if (!in) return ReadResult::kFailed;
  out.assign(static_cast<size_t>(size), '\0');
  in.read(out.data(), static_cast<std::streamsize>(size));
  // A file that shrank meanwhile keeps what was read.
  out.resize(static_cast<size_t>(in.gcount()));
  return in.bad() ? ReadResult::kFailed : ReadResult::kOk;
}

bool ReplaceFile(const std::string& path, const std::string& contents) {
  const std::string temp = path + kTempSuffix;
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.flush();
    if (!out) {
      out.close();
      std::error_code ec;
      fs::remove(temp, ec);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::string_view> IniFindValue(std::string_view text, std::string_view section,
                                             std::string_view key) {
  const KeyLocation loc = Locate(text, section, key);
  if (!loc.keyFound) return std::nullopt;
  const std::string_view value =
      text.substr(loc.valueBegin, loc.keyLine.contentEnd - loc.valueBegin);
  return Unquote(Trim(value));
}

int IniParseInt(std::string_view value) {
  size_t i = value.find_first_not_of(kBlanks);
  if (i == std::string_view::npos) return 0;
  bool negative = false;
  if (value[i] == '+' || value[i] == '-') {
    negative = value[i] == '-';
    ++i;
  }
  // Magnitude capped just past the 32-bit range, so that a long run of digits neither
  // overflows nor wraps around into a small valid number.
  constexpr int64_t kCap = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (value[i] - '0');
    if (magnitude > kCap) magnitude = kCap;
  }
  const int64_t result = negative ? -magnitude : magnitude;
  if (result > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  return static_cast<int>(result);
}

bool IniCanStore(std::string_view section, std::string_view key, std::string_view value) {
  constexpr std::string_view kLineBreaks = "\r\n";
  if (Trim(section).empty() || Trim(key).empty()) return false;
  if (section.find_first_of(kLineBreaks) != std::string_view::npos ||
      key.find_first_of(kLineBreaks) != std::string_view::npos ||
      value.find_first_of(kLineBreaks) != std::string_view::npos) {
    return false;
  }
  // A key starting like a comment or a section would not be read back as a key.
  const std::string_view k = Trim(key);
  if (k[0] == ';' || k[0] == '#' || k[0] == '[') return false;
  return section.find(']') == std::string_view::npos && key.find('=') == std::string_view::npos;
}

std::string IniSetValue(std::string_view text, std::string_view section, std::string_view key,
                        std::string_view value) {
  const std::string_view eol = LineEndOf(text);
  const KeyLocation loc = Locate(text, section, key);
  std::string out;
  out.reserve(text.size() + section.size() + key.size() + value.size() + 8);
  if (loc.keyFound) {
    // Keep the key as it is spelled in the file, its spacing, and whatever follows the line.
    size_t start = loc.valueBegin;
    while (start < loc.keyLine.contentEnd && kBlanks.find(text[start]) != std::string_view::npos) {
      ++start;
    }
    out.append(text.substr(0, start));
    out.append(value);
    out.append(text.substr(loc.keyLine.contentEnd));
    return out;
  }
  std::string entry;
  entry.append(Trim(key)).append("=").append(value).append(eol);
  if (loc.sectionFound) {
    out.append(text.substr(0, loc.insertAt));
    if (loc.insertNeedsEol) out.append(LineEndAfter(out, eol));
    out.append(entry);
    out.append(text.substr(loc.insertAt));
    return out;
  }
  out.append(text);
  if (!text.empty() && text.back() != '\n') out.append(LineEndAfter(out, eol));
  out.append("[").append(Trim(section)).append("]").append(eol).append(entry);
  return out;
}

std::optional<std::string> IniReadString(const std::string& path, std::string_view section,
                                         std::string_view key) {
  std::string text;
  if (ReadFile(path, text) != ReadResult::kOk) return std::nullopt;
  const auto value = IniFindValue(text, section, key);
  if (!value) return std::nullopt;
  return std::string(*value);
}

int IniReadInt(const std::string& path, std::string_view section, std::string_view key,
               int defaultValue) {
  const auto value = IniReadString(path, section, key);
  if (!value || value->empty()) return defaultValue;
  return IniParseInt(*value);
}

bool IniWriteString(const std::string& path, std::string_view section, std::string_view key,
                    std::string_view value) {
  if (!IniCanStore(section, key, value)) return false;
  std::string text;
  const ReadResult read = ReadFile(path, text);
  if (read == ReadResult::kFailed) return false;
  const std::string updated = IniSetValue(text, section, key, value);
  if (read == ReadResult::kOk && updated == text) return true;
  return ReplaceFile(path, updated);
}

}  // namespace stow
