// The offline registry on Windows: a working copy of the hive file is loaded
// under a key of its own below HKEY_LOCAL_MACHINE (RegLoadKeyW, which needs
// the backup and restore privileges) and edited through the registry calls.
// The original file is never opened by the registry: Commit unloads the copy,
// which writes it, and puts it in place of the original beside it with one
// rename; Close unloads it and throws it away.
#include <atomic>
#include <filesystem>

#include "platform/Files.h"
#include "platform/Hive.h"
#include "platform/PrivateMount.h"
#include "platform/windows/Win32.h"
#include "support/Enums.h"

namespace stow::platform {
namespace {

namespace fs = std::filesystem;

bool EnablePrivilege(HANDLE token, const wchar_t* name) {
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!::LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) return false;
  if (!::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr)) {
    return false;
  }
  return ::GetLastError() == ERROR_SUCCESS;
}

// RegLoadKeyW and RegUnLoadKeyW need both privileges enabled in the token.
int EnableHivePrivileges() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return win::LastErrno();
  }
  const bool backup = EnablePrivilege(token, SE_BACKUP_NAME);
  const bool restore = EnablePrivilege(token, SE_RESTORE_NAME);
  ::CloseHandle(token);
  return backup && restore ? 0 : EACCES;
}

std::wstring NextMountName() {
  static std::atomic<unsigned> counter{0};
  return L"StowlineOfflineHive" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
         std::to_wstring(counter.fetch_add(1));
}

int RegistryError(LONG status) {
  if (status == ERROR_FILE_NOT_FOUND) return ENOENT;
  if (status == ERROR_BADDB || status == ERROR_REGISTRY_CORRUPT ||
      status == ERROR_BADKEY) {
    return EINVAL;
  }
  return win::ErrnoFromWin32(static_cast<DWORD>(status));
}

}  // namespace

struct Hive::State {
  std::wstring mountName;
  std::string workFolder;
  std::wstring workFile;
  bool loaded = false;
  // Every key handed out, by HiveKey - 1; the root is key 1. Closed keys are null.
  std::vector<HKEY> keys;

  HKEY KeyOf(HiveKey key) const {
    return key == kNoHiveKey || key > keys.size() ? nullptr : keys[key - 1];
  }
  HiveKey Add(HKEY key) {
    keys.push_back(key);
    return keys.size();
  }
  void CloseKeys() {
    for (HKEY& key : keys) {
      if (key != nullptr) ::RegCloseKey(key);
      key = nullptr;
    }
  }
  int Load(bool writable) {
    const LONG status = ::RegLoadKeyW(HKEY_LOCAL_MACHINE, mountName.c_str(), workFile.c_str());
    if (status != ERROR_SUCCESS) return RegistryError(status);
    loaded = true;
    HKEY root = nullptr;
    const REGSAM access = KEY_READ | (writable ? KEY_WRITE : 0);
    const LONG opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, mountName.c_str(), 0, access, &root);
    if (opened != ERROR_SUCCESS) return RegistryError(opened);
    keys.clear();
    Add(root);
    return 0;
  }
  int Unload() {
    CloseKeys();
    if (!loaded) return 0;
    loaded = false;
    const LONG status = ::RegUnLoadKeyW(HKEY_LOCAL_MACHINE, mountName.c_str());
    return status == ERROR_SUCCESS ? 0 : RegistryError(status);
  }
  void RemoveWork() {
    std::error_code ignored;
    if (!workFolder.empty()) fs::remove_all(fs::path(win::Widen(workFolder)), ignored);
    workFolder.clear();
  }
};

Hive::Hive() = default;
Hive::~Hive() { Close(); }

int Hive::Open(const std::string& path, bool writable) {
  Close();
  const DWORD attributes = ::GetFileAttributesW(win::Widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return win::LastErrno();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EISDIR;
  if (const int error = EnableHivePrivileges(); error != 0) return error;
  auto state = std::make_unique<State>();
  if (const int error = MakePrivateTempDirectory(state->workFolder); error != 0) return error;
  state->workFile = win::Widen(state->workFolder) + L"\\hive";
  state->mountName = NextMountName();
  if (!::CopyFileW(win::Widen(path).c_str(), state->workFile.c_str(), FALSE)) {
    const int error = win::LastErrno();
    state->RemoveWork();
    return error;
  }
  ::SetFileAttributesW(state->workFile.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (const int error = state->Load(writable); error != 0) {
    static_cast<void>(state->Unload());
    state->RemoveWork();
    return error;
  }
  state_ = std::move(state);
  path_ = path;
  writable_ = writable;
  return 0;
}

void Hive::Close() {
  if (state_ != nullptr) {
    static_cast<void>(state_->Unload());
    state_->RemoveWork();
  }
  state_.reset();
  path_.clear();
  writable_ = false;
}

HiveKey Hive::Root() const { return state_ != nullptr && state_->KeyOf(1) != nullptr ? 1 : 0; }

HiveKey Hive::Child(HiveKey parent, std::string_view name) const {
  HiveKey out = kNoHiveKey;
  static_cast<void>(Lookup(parent, name, out));
  return out;
}

int Hive::Lookup(HiveKey parent, std::string_view name, HiveKey& out) const {
  out = kNoHiveKey;
  if (state_ == nullptr) return EBADF;
  const HKEY key = state_->KeyOf(parent);
  if (key == nullptr) return EBADF;
  HKEY child = nullptr;
  const REGSAM access = KEY_READ | (writable_ ? KEY_WRITE : 0);
  const LONG status =
      ::RegOpenKeyExW(key, win::Widen(std::string(name)).c_str(), 0, access, &child);
  if (status != ERROR_SUCCESS) return RegistryError(status);
  out = state_->Add(child);
  return 0;
}

int Hive::ChildNames(HiveKey key, std::vector<std::string>& out) const {
  out.clear();
  if (state_ == nullptr) return EBADF;
  const HKEY handle = state_->KeyOf(key);
  if (handle == nullptr) return EBADF;
  DWORD count = 0;
  DWORD longest = 0;
  LONG status = ::RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &count, &longest, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return RegistryError(status);
  if (count > kMaxSubkeysPerKey) return E2BIG;
  std::wstring name(longest + 1, L'\0');
  for (DWORD i = 0; i < count; ++i) {
    DWORD length = static_cast<DWORD>(name.size());
    status = ::RegEnumKeyExW(handle, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) return RegistryError(status);
    out.push_back(win::Narrow(name.data(), length));
  }
  return 0;
}

HiveKey Hive::AddChild(HiveKey parent, std::string_view name) {
  if (state_ == nullptr || !writable_ || name.empty()) return kNoHiveKey;
  const HKEY key = state_->KeyOf(parent);
  if (key == nullptr) return kNoHiveKey;
  HKEY child = nullptr;
  const LONG status =
      ::RegCreateKeyExW(key, win::Widen(std::string(name)).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &child, nullptr);
  return status == ERROR_SUCCESS ? state_->Add(child) : kNoHiveKey;
}

int Hive::ReadValues(HiveKey key, std::vector<HiveValue>& out, size_t maxData) const {
  out.clear();
  if (state_ == nullptr) return EBADF;
  const HKEY handle = state_->KeyOf(key);
  if (handle == nullptr) return EBADF;
  DWORD count = 0;
  DWORD longestName = 0;
  DWORD longestData = 0;
  LONG status = ::RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &count, &longestName, &longestData, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return RegistryError(status);
  if (count > kMaxValuesPerKey) return E2BIG;
  if (longestData > maxData) return E2BIG;
  std::wstring name(longestName + 1, L'\0');
  std::vector<std::byte> data(longestData);
  for (DWORD i = 0; i < count; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD type = 0;
    DWORD dataLength = static_cast<DWORD>(data.size());
    status = ::RegEnumValueW(handle, i, name.data(), &nameLength, nullptr, &type,
                             reinterpret_cast<BYTE*>(data.data()), &dataLength);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_MORE_DATA) return E2BIG;
    if (status != ERROR_SUCCESS) return RegistryError(status);
    HiveValue value;
    value.name = win::Narrow(name.data(), nameLength);
    value.type = static_cast<HiveValueType>(type);
    value.data.assign(data.begin(), data.begin() + dataLength);
    out.push_back(std::move(value));
  }
  return 0;
}

int Hive::ReadValue(HiveKey key, std::string_view name, HiveValue& out, size_t maxData) const {
  if (state_ == nullptr) return EBADF;
  const HKEY handle = state_->KeyOf(key);
  if (handle == nullptr) return EBADF;
  const std::wstring wide = win::Widen(std::string(name));
  DWORD type = 0;
  DWORD length = 0;
  LONG status = ::RegQueryValueExW(handle, wide.c_str(), nullptr, &type, nullptr, &length);
  if (status != ERROR_SUCCESS) return RegistryError(status);
  if (length > maxData) return E2BIG;
  std::vector<std::byte> data(length);
  status = ::RegQueryValueExW(handle, wide.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(data.data()), &length);
  if (status != ERROR_SUCCESS) return RegistryError(status);
  data.resize(length);
  out.name = std::string(name);
  out.type = static_cast<HiveValueType>(type);
  out.data = std::move(data);
  return 0;
}

int Hive::SetValue(HiveKey key, const HiveValue& value) {
  if (state_ == nullptr) return EBADF;
  const HKEY handle = state_->KeyOf(key);
  if (handle == nullptr) return EBADF;
  if (!writable_) return EROFS;
  if (value.data.size() > kMaxValueBytes) return E2BIG;
  const LONG status = ::RegSetValueExW(handle, win::Widen(value.name).c_str(), 0, ToInt(value.type),
                                       reinterpret_cast<const BYTE*>(value.data.data()),
                                       static_cast<DWORD>(value.data.size()));
  return status == ERROR_SUCCESS ? 0 : RegistryError(status);
}

int Hive::SetValues(HiveKey key, const std::vector<HiveValue>& values) {
  if (state_ == nullptr) return EBADF;
  const HKEY handle = state_->KeyOf(key);
  if (handle == nullptr) return EBADF;
  if (!writable_) return EROFS;
  if (values.size() > kMaxValuesPerKey) return E2BIG;
  for (const HiveValue& value : values) {
    if (value.data.size() > kMaxValueBytes) return E2BIG;
  }
  std::vector<HiveValue> current;
  if (const int error = ReadValues(key, current); error != 0) return error;
  for (const HiveValue& value : current) {
    const LONG status = ::RegDeleteValueW(handle, win::Widen(value.name).c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return RegistryError(status);
  }
  for (const HiveValue& value : values) {
    if (const int error = SetValue(key, value); error != 0) return error;
  }
  return 0;
}

int Hive::Commit() {
  if (state_ == nullptr) return EBADF;
  if (!writable_) return EROFS;
  // Unloading writes the working copy; it then takes the original's place.
  if (const int error = state_->Unload(); error != 0) return error;
  const std::string partial = TemporaryPathBeside(path_);
  if (!::CopyFileW(state_->workFile.c_str(), win::Widen(partial).c_str(), FALSE)) {
    return win::LastErrno();
  }
  if (const int error = ReplaceFile(partial, path_); error != 0) {
    static_cast<void>(RemoveFile(partial));
    return error;
  }
  // Loaded again, so that the hive stays open; keys other than the root
  // handed out before are closed.
  return state_->Load(writable_);
}

}  // namespace stow::platform
