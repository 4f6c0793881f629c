#include "platform/DiskNumbers.h"
#include "platform/linux/DiskNames.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace stow::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSysBlock = "/sys/block";
constexpr const char* kLoopPrefix = "loop";

std::string ReadSysfsLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool IsWholeDiskCandidate(const fs::path& entry) {
  const std::string name = entry.filename().string();
  if (name.starts_with("ram") || name.starts_with("zram") || name.starts_with("sr") ||
      name.starts_with("fd") || name.starts_with("dm-") || name.starts_with("md")) {
    return false;
  }
  if (ReadSysfsLine(entry / "removable") == "1") return false;
  if (ReadSysfsLine(entry / "size") == "0") return false;
  // A loop device counts only while it has a backing file.
  if (name.starts_with(kLoopPrefix) && !fs::exists(entry / "loop" / "backing_file")) return false;
  return true;
}

// The index of "loopN", or -1 for any other name.
int LoopIndex(const std::string& name) {
  if (!name.starts_with(kLoopPrefix) || name.size() == 4 || name.size() > 10) return -1;
  int index = 0;
  for (size_t i = 4; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return -1;
    index = index * 10 + (name[i] - '0');
  }
  return index <= kMaxLoopIndex ? index : -1;
}

// The letters after a lettered disk kind ("sd", "vd", "hd", "xvd"): "aa" of
// "sdaa"; empty for any other name.
std::string_view DiskLetters(std::string_view name, std::string_view& kind) {
  for (const std::string_view k : {"xvd", "sd", "vd", "hd"}) {
    if (name.size() <= k.size() || !name.starts_with(k)) continue;
    const std::string_view letters = name.substr(k.size());
    if (std::all_of(letters.begin(), letters.end(), [](char c) { return c >= 'a' && c <= 'z'; })) {
      kind = k;
      return letters;
    }
  }
  return {};
}

// Natural order: runs of digits compare by value, so that "nvme2n1" comes before
// "nvme10n1".
bool NaturalLess(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    if (da && db) {
      size_t ei = i;
      size_t ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      // Leading zeros do not occur in kernel names; the shorter run is the smaller number.
      if (ei - i != ej - j) return ei - i < ej - j;
      const int c = a.compare(i, ei - i, b, j, ej - j);
      if (c != 0) return c < 0;
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

}  // namespace

bool DiskNameLess(std::string_view a, std::string_view b) {
  // The kernel names lettered disks sda..sdz, then sdaa..sdzz: the letters
  // count like a number, fewer letters first.
  std::string_view kindA;
  std::string_view kindB;
  const std::string_view lettersA = DiskLetters(a, kindA);
  const std::string_view lettersB = DiskLetters(b, kindB);
  if (!lettersA.empty() && !lettersB.empty() && kindA == kindB) {
    if (lettersA.size() != lettersB.size()) return lettersA.size() < lettersB.size();
    return lettersA < lettersB;
  }
  return NaturalLess(a, b);
}

namespace {

struct Candidates {
  std::vector<std::string> disks;  // natural order
  std::vector<std::string> loops;  // loop index order
};

Candidates ListCandidates() {
  Candidates c;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kSysBlock, ec)) {
    if (!IsWholeDiskCandidate(entry.path())) continue;
    const std::string name = entry.path().filename().string();
    if (name.starts_with(kLoopPrefix)) {
      if (LoopIndex(name) >= 0) c.loops.push_back(name);
    } else {
      c.disks.push_back(name);
    }
  }
  std::sort(c.disks.begin(), c.disks.end(), DiskNameLess);
  std::sort(c.loops.begin(), c.loops.end(),
            [](const std::string& a, const std::string& b) { return LoopIndex(a) < LoopIndex(b); });
  // Disks past the loop range get no number rather than one that a loop device owns.
  if (c.disks.size() > static_cast<size_t>(kLoopDiskNumberBase)) {
    c.disks.resize(static_cast<size_t>(kLoopDiskNumberBase));
  }
  return c;
}

}  // namespace

std::vector<std::string> ListWholeDisks() {
  const Candidates c = ListCandidates();
  std::vector<std::string> paths;
  for (const auto& n : c.disks) paths.push_back("/dev/" + n);
  for (const auto& n : c.loops) paths.push_back("/dev/" + n);
  return paths;
}

bool ResolveDiskNumber(int number, std::string& path) {
  if (number < 0) return false;
  const Candidates c = ListCandidates();
  if (number < kLoopDiskNumberBase) {
    if (static_cast<size_t>(number) >= c.disks.size()) return false;
    path = "/dev/" + c.disks[static_cast<size_t>(number)];
    return true;
  }
  for (const auto& n : c.loops) {
    if (LoopIndex(n) == number - kLoopDiskNumberBase) {
      path = "/dev/" + n;
      return true;
    }
  }
  return false;
}

bool DiskNumberOfName(const std::string& kernelName, int& number) {
  const Candidates c = ListCandidates();
  if (kernelName.starts_with(kLoopPrefix)) {
    if (std::find(c.loops.begin(), c.loops.end(), kernelName) == c.loops.end()) return false;
    number = kLoopDiskNumberBase + LoopIndex(kernelName);
    return true;
  }
  const auto it = std::find(c.disks.begin(), c.disks.end(), kernelName);
  if (it == c.disks.end()) return false;
  number = static_cast<int>(it - c.disks.begin());
  return true;
}

}  // namespace stow::platform
