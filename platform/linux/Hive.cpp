#include "platform/Hive.h"

#include <hivex.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

#include "support/Enums.h"

namespace stow::platform {
namespace {

// libhivex hands back memory from malloc.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Malloced = std::unique_ptr<T, FreeDeleter>;

int LastError(int fallback = EIO) { return errno != 0 ? errno : fallback; }

}  // namespace

struct Hive::State {
  hive_h* handle = nullptr;
};

Hive::Hive() = default;
Hive::~Hive() { Close(); }

int Hive::Open(const std::string& path, bool writable) {
  Close();
  errno = 0;
  hive_h* handle = hivex_open(path.c_str(), writable ? HIVEX_OPEN_WRITE : 0);
  if (handle == nullptr) {
    // libhivex reports a file that is no hive with ENOTSUP or EINVAL; keep the
    // system errors of a missing or unreadable file as they are.
    const int error = LastError(EINVAL);
    return error == ENOENT || error == EACCES || error == EISDIR ? error : EINVAL;
  }
  state_ = std::make_unique<State>();
  state_->handle = handle;
  path_ = path;
  writable_ = writable;
  return 0;
}

void Hive::Close() {
  if (state_ != nullptr) hivex_close(state_->handle);
  state_.reset();
  path_.clear();
  writable_ = false;
}

HiveKey Hive::Root() const { return state_ != nullptr ? hivex_root(state_->handle) : kNoHiveKey; }

HiveKey Hive::Child(HiveKey parent, std::string_view name) const {
  if (state_ == nullptr || parent == kNoHiveKey) return kNoHiveKey;
  const std::string copy(name);
  return hivex_node_get_child(state_->handle, parent, copy.c_str());
}

int Hive::Lookup(HiveKey parent, std::string_view name, HiveKey& out) const {
  out = kNoHiveKey;
  if (state_ == nullptr || parent == kNoHiveKey) return EBADF;
  const std::string copy(name);
  errno = 0;
  out = hivex_node_get_child(state_->handle, parent, copy.c_str());
  if (out != kNoHiveKey) return 0;
  return errno != 0 ? errno : ENOENT;
}

int Hive::ChildNames(HiveKey key, std::vector<std::string>& out) const {
  out.clear();
  if (state_ == nullptr || key == kNoHiveKey) return EBADF;
  errno = 0;
  const size_t count = hivex_node_nr_children(state_->handle, key);
  if (count == 0 && errno != 0) return LastError();
  if (count > kMaxSubkeysPerKey) return E2BIG;
  errno = 0;
  const Malloced<hive_node_h> children(hivex_node_children(state_->handle, key));
  if (!children) return LastError();
  for (size_t i = 0; i < count && children.get()[i] != 0; ++i) {
    const Malloced<char> name(hivex_node_name(state_->handle, children.get()[i]));
    if (!name) return LastError(EILSEQ);
    out.emplace_back(name.get());
  }
  return 0;
}

HiveKey Hive::AddChild(HiveKey parent, std::string_view name) {
  if (state_ == nullptr || !writable_ || parent == kNoHiveKey || name.empty()) return kNoHiveKey;
  const std::string copy(name);
  return hivex_node_add_child(state_->handle, parent, copy.c_str());
}

namespace {

// A value's type is any 32-bit number on disk, most of them outside the
// library's enumeration; it is carried in raw storage and never loaded as the
// enumeration type.
using RawHiveType = std::underlying_type_t<hive_type>;
struct HiveTypeSlot {
  alignas(hive_type) unsigned char bytes[sizeof(hive_type)] = {};
  hive_type* Pointer() { return reinterpret_cast<hive_type*>(bytes); }
  uint32_t Value() const {
    RawHiveType raw{};
    std::memcpy(&raw, bytes, sizeof raw);
    return static_cast<uint32_t>(raw);
  }
};

int ReadOneValue(hive_h* handle, hive_value_h value, size_t maxData, HiveValue& out) {
  errno = 0;
  const Malloced<char> name(hivex_value_key(handle, value));
  if (!name) return LastError(EILSEQ);
  HiveTypeSlot type;
  size_t length = 0;
  if (hivex_value_type(handle, value, type.Pointer(), &length) != 0) return LastError();
  if (length > maxData) return E2BIG;
  size_t got = 0;
  errno = 0;
  const Malloced<char> data(hivex_value_value(handle, value, type.Pointer(), &got));
  if (!data) return LastError();
  if (got > maxData) return E2BIG;
  out.name = name.get();
  out.type = static_cast<HiveValueType>(type.Value());
  const auto* bytes = reinterpret_cast<const std::byte*>(data.get());
  out.data.assign(bytes, bytes + got);
  return 0;
}

}  // namespace

int Hive::ReadValues(HiveKey key, std::vector<HiveValue>& out, size_t maxData) const {
  out.clear();
  if (state_ == nullptr || key == kNoHiveKey) return EBADF;
  errno = 0;
  const size_t count = hivex_node_nr_values(state_->handle, key);
  if (count == 0 && errno != 0) return LastError();
  if (count > kMaxValuesPerKey) return E2BIG;
  errno = 0;
  const Malloced<hive_value_h> values(hivex_node_values(state_->handle, key));
  if (!values) return LastError();
  for (size_t i = 0; i < count && values.get()[i] != 0; ++i) {
    HiveValue value;
    const int error = ReadOneValue(state_->handle, values.get()[i], maxData, value);
    if (error != 0) return error;
    out.push_back(std::move(value));
  }
  return 0;
}

int Hive::ReadValue(HiveKey key, std::string_view name, HiveValue& out, size_t maxData) const {
  if (state_ == nullptr || key == kNoHiveKey) return EBADF;
  const std::string copy(name);
  errno = 0;
  const hive_value_h value = hivex_node_get_value(state_->handle, key, copy.c_str());
  if (value == 0) return errno != 0 && errno != ENOENT ? errno : ENOENT;
  return ReadOneValue(state_->handle, value, maxData, out);
}

namespace {

// libhivex takes mutable pointers; these buffers keep the caller's values intact.
struct SetValueBuffers {
  std::vector<char> key;
  std::vector<char> data;
};

hive_set_value MakeSetValue(const HiveValue& value, SetValueBuffers& buffers) {
  buffers.key.assign(value.name.begin(), value.name.end());
  buffers.key.push_back('\0');
  buffers.data.resize(value.data.size());
  if (!value.data.empty()) std::memcpy(buffers.data.data(), value.data.data(), value.data.size());
  hive_set_value set{};
  set.key = buffers.key.data();
  const auto raw = static_cast<RawHiveType>(ToInt(value.type));
  static_assert(sizeof set.t == sizeof raw);
  std::memcpy(&set.t, &raw, sizeof raw);
  set.len = value.data.size();
  set.value = buffers.data.data();
  return set;
}

}  // namespace

int Hive::SetValue(HiveKey key, const HiveValue& value) {
  if (state_ == nullptr || key == kNoHiveKey) return EBADF;
  if (!writable_) return EROFS;
  if (value.data.size() > kMaxValueBytes) return E2BIG;
  SetValueBuffers buffers;
  const hive_set_value set = MakeSetValue(value, buffers);
  errno = 0;
  return hivex_node_set_value(state_->handle, key, &set, 0) == 0 ? 0 : LastError();
}

int Hive::SetValues(HiveKey key, const std::vector<HiveValue>& values) {
  if (state_ == nullptr || key == kNoHiveKey) return EBADF;
  if (!writable_) return EROFS;
  if (values.size() > kMaxValuesPerKey) return E2BIG;
  std::vector<SetValueBuffers> buffers(values.size());
  std::vector<hive_set_value> sets;
  sets.reserve(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i].data.size() > kMaxValueBytes) return E2BIG;
    sets.push_back(MakeSetValue(values[i], buffers[i]));
  }
  errno = 0;
  return hivex_node_set_values(state_->handle, key, sets.size(), sets.data(), 0) == 0 ? 0 : LastError();
}

int Hive::Commit() {
  if (state_ == nullptr) return EBADF;
  if (!writable_) return EROFS;
  errno = 0;
  return hivex_commit(state_->handle, nullptr, 0) == 0 ? 0 : LastError();
}

}  // namespace stow::platform
