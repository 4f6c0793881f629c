#include "platform/Hive.h"

#include <algorithm>
#include <cerrno>

// What every backend shares: paths of key names.
namespace stow::platform {
namespace {

// Splits "A\\B\\C" into its names; empty names (doubled or outer separators) are dropped.
bool SplitPath(std::string_view path, std::vector<std::string>& names) {
  names.clear();
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('\\', start), path.size());
    if (end > start) names.emplace_back(path.substr(start, end - start));
    if (names.size() > kMaxKeyPathDepth) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

HiveKey Hive::Find(HiveKey from, std::string_view path) const {
  std::vector<std::string> names;
  if (!SplitPath(path, names)) return kNoHiveKey;
  HiveKey key = from;
  for (const auto& name : names) {
    key = Child(key, name);
    if (key == kNoHiveKey) break;
  }
  return key;
}

HiveKey Hive::EnsurePath(HiveKey from, std::string_view path) {
  std::vector<std::string> names;
  if (!SplitPath(path, names)) return kNoHiveKey;
  HiveKey key = from;
  for (const auto& name : names) {
    HiveKey child = kNoHiveKey;
    const int found = Lookup(key, name, child);
    if (found == ENOENT) child = AddChild(key, name);
    key = child;
    if (key == kNoHiveKey) break;
  }
  return key;
}

}  // namespace stow::platform
