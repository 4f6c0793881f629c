#include "platform/linux/MountInfo.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace stow::platform {
namespace {

constexpr const char* kMountInfoPath = "/proc/self/mountinfo";
// Fields before the optional ones: id, parent id, major:minor, root, mount point, options.
constexpr size_t kFixedFields = 6;
constexpr std::string_view kOptionalEnd = "-";
// The kernel writes space, tab, newline and backslash as a backslash and three octal digits.
constexpr size_t kEscapeLength = 4;

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (pos < line.size()) {
    const size_t end = line.find(' ', pos);
    const size_t stop = end == std::string_view::npos ? line.size() : end;
    if (stop > pos) fields.push_back(line.substr(pos, stop - pos));
    pos = stop + 1;
  }
  return fields;
}

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

std::string Unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + kEscapeLength <= field.size() && IsOctal(field[i + 1]) &&
        IsOctal(field[i + 2]) && IsOctal(field[i + 3])) {
      const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (value <= 0xFF) {
        out += static_cast<char>(value);
        i += kEscapeLength - 1;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

bool ParseDevice(std::string_view field, uint32_t& major, uint32_t& minor) {
  const size_t colon = field.find(':');
  if (colon == std::string_view::npos) return false;
  const char* begin = field.data();
  const char* mid = begin + colon;
  const char* end = begin + field.size();
  const auto a = std::from_chars(begin, mid, major);
  const auto b = std::from_chars(mid + 1, end, minor);
  return a.ec == std::errc() && a.ptr == mid && b.ec == std::errc() && b.ptr == end;
}

bool ParseLine(std::string_view line, MountEntry& out) {
  const std::vector<std::string_view> f = SplitFields(line);
  if (f.size() < kFixedFields + 3) return false;
  if (!ParseDevice(f[2], out.major, out.minor)) return false;
  size_t sep = kFixedFields;
  while (sep < f.size() && f[sep] != kOptionalEnd) ++sep;
  // After the separator: file system type, source, super options.
  if (sep + 2 >= f.size()) return false;
  out.root = Unescape(f[3]);
  out.mountPoint = Unescape(f[4]);
  out.options = std::string(f[5]);
  out.fsType = Unescape(f[sep + 1]);
  out.source = Unescape(f[sep + 2]);
  return true;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> entries;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    const size_t stop = end == std::string_view::npos ? text.size() : end;
    MountEntry entry;
    if (ParseLine(text.substr(pos, stop - pos), entry)) entries.push_back(std::move(entry));
    pos = stop + 1;
  }
  return entries;
}

std::vector<MountEntry> ReadMountInfo() {
  std::ifstream in(kMountInfoPath);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return ParseMountInfo(text.str());
}

bool MountIsReadOnly(const MountEntry& entry) {
  return entry.options == "ro" || entry.options.starts_with("ro,");
}

}  // namespace stow::platform
