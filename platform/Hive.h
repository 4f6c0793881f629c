// A registry hive file opened for reading or editing: the offline registry.
// On Linux libhivex edits the file itself; on Windows the registry loads a
// working copy of it under a key of its own (RegLoadKeyW) and the copy replaces
// the file on Commit.
//
// Hive contents are hostile input: the backend checks the cells it walks, and
// this wrapper adds caps on what it copies out (values per key, bytes per
// value) so that a crafted file costs bounded memory. Keys are addressed by
// handles of the backend; 0 is never a valid key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <memory>
#include <string_view>
#include <vector>

namespace stow::platform {

using HiveKey = size_t;
inline constexpr HiveKey kNoHiveKey = 0;

// Registry value types: the numbers stored in a hive. The program writes the
// ones named here; a value read from a hive carries whatever number it has.
enum class HiveValueType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
};
using enum HiveValueType;

// Caps on what one key may hand back. MountedDevices keys on real systems hold
// some hundreds of values; BCD keys a handful.
inline constexpr size_t kMaxValuesPerKey = 16384;
inline constexpr size_t kMaxSubkeysPerKey = 16384;
inline constexpr size_t kMaxValueBytes = size_t{1024} * 1024;
// Deepest key path the lookups follow.
inline constexpr size_t kMaxKeyPathDepth = 32;

struct HiveValue {
  std::string name;  // UTF-8
  HiveValueType type = kRegNone;
  std::vector<std::byte> data;
};

class Hive {
 public:
  Hive();
  ~Hive();
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  // Opens the hive file: 0, or a system error (EINVAL for a file the backend
  // refuses as a hive). `writable` allows changes, which reach the file only
  // through Commit.
  [[nodiscard]] int Open(const std::string& path, bool writable);
  void Close();
  bool IsOpen() const { return state_ != nullptr; }
  const std::string& Path() const { return path_; }

  HiveKey Root() const;
  // The child of `parent` named `name` (names compare without regard to case);
  // kNoHiveKey when there is none or the hive is damaged.
  HiveKey Child(HiveKey parent, std::string_view name) const;
  // The same with the reason: 0 with `out` set, ENOENT when there is no such
  // child, or the error that stopped the search (a damaged sibling).
  [[nodiscard]] int Lookup(HiveKey parent, std::string_view name, HiveKey& out) const;
  // Follows a path of names separated by '\' from `from`; kNoHiveKey when any
  // step is missing.
  HiveKey Find(HiveKey from, std::string_view path) const;
  // The names of the subkeys of `key`: 0, or a system error.
  [[nodiscard]] int ChildNames(HiveKey key, std::vector<std::string>& out) const;

  // Adds a subkey (writable hives): the new key, or kNoHiveKey.
  HiveKey AddChild(HiveKey parent, std::string_view name);
  // Follows `path` from `from`, adding every missing key: the last key, or
  // kNoHiveKey. A key is only added where the search proved it absent, never
  // beside a sibling the search could not read.
  HiveKey EnsurePath(HiveKey from, std::string_view path);

  // Every value of `key`, in the key's own order: 0, or a system error (E2BIG
  // when the key has more values than kMaxValuesPerKey or a value is larger
  // than `maxData`; EILSEQ when a name cannot be decoded).
  [[nodiscard]] int ReadValues(HiveKey key, std::vector<HiveValue>& out,
                               size_t maxData = kMaxValueBytes) const;
  // One value by name: 0, ENOENT when absent, E2BIG when larger than `maxData`,
  // or another system error.
  [[nodiscard]] int ReadValue(HiveKey key, std::string_view name, HiveValue& out,
                              size_t maxData = kMaxValueBytes) const;

  // Adds or replaces one value: 0, or a system error.
  [[nodiscard]] int SetValue(HiveKey key, const HiveValue& value);
  // Replaces all values of `key` with `values` (the way to delete values): 0,
  // or a system error.
  [[nodiscard]] int SetValues(HiveKey key, const std::vector<HiveValue>& values);

  // Writes the changes back to the file it was opened from: 0, or a system error.
  [[nodiscard]] int Commit();

 private:
  struct State;  // the backend's handles
  std::unique_ptr<State> state_;
  std::string path_;
  bool writable_ = false;
};

}  // namespace stow::platform
