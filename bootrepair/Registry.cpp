#include "bootrepair/Registry.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/Isolated.h"
#include "platform/PrivateMount.h"
#include "platform/System.h"
#include "support/Enums.h"
#include "support/Log.h"

namespace stow::bootrepair {
namespace {

namespace fs = std::filesystem;

// Entries scanned per folder while the hive's path is matched without regard to case.
constexpr size_t kMaxFolderEntries = 100000;
constexpr int kPermissionError = EPERM;

enum class FixOutcome { kUnchanged, kChanged, kFailed };

bool SameBytes(Bytes a, Bytes b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lx = static_cast<unsigned char>(x >= 'A' && x <= 'Z' ? x - 'A' + 'a' : x);
           const auto ly = static_cast<unsigned char>(y >= 'A' && y <= 'Z' ? y - 'A' + 'a' : y);
           return lx == ly;
         });
}

// The entry of `folder` named `name` without regard to case (NTFS names do not
// depend on case for Windows, but the driver's lookups here do).
bool FindEntryIgnoringCase(const fs::path& folder, const std::string& name, fs::path& out) {
  std::error_code ec;
  if (fs::exists(folder / name, ec)) {
    out = folder / name;
    return true;
  }
  fs::directory_iterator it(folder, ec);
  size_t scanned = 0;
  for (; !ec && it != fs::directory_iterator() && scanned < kMaxFolderEntries; it.increment(ec)) {
    ++scanned;
    if (EqualsIgnoringCase(it->path().filename().string(), name)) {
      out = it->path();
      return true;
    }
  }
  return false;
}

int FindSystemHive(const fs::path& root, fs::path& out) {
  fs::path at = root;
  for (const char* name : kSystemHivePath) {
    fs::path next;
    if (!FindEntryIgnoringCase(at, name, next)) return ENOENT;
    at = next;
  }
  std::error_code ec;
  if (!fs::is_regular_file(at, ec)) return ENOENT;
  out = at;
  return 0;
}

// What the edit of a hive came to. The edit runs in a child process (the hive
// library stops the process on some damaged hives while writing), so it only
// hands back one of these codes and the parent writes the log lines.
enum class EditCode : int {
  kEditUnchanged = 0,
  kEditChanged = 1,
  kEditOpenFailed = 2,
  kEditNoKey = 3,
  kEditNoSourceEntry = 4,
  kEditSameVolume = 5,
  kEditRewriteFailed = 6,
  kEditCommitFailed = 7,
};
using enum EditCode;

// The source's identifier: given (a copy), or the hive's own entry for the
// recorded letter (a restore). False when there is none.
bool ResolveSourceIdentifier(Hive& hive, HiveKey mountedDevices, const SourceIdentity& source,
                             VolumeIdentifier& out) {
  if (!source.identifier.empty()) {
    out = source.identifier;
    return true;
  }
  HiveValue value;
  if (source.letter == 0 || hive.ReadValue(mountedDevices, DosDeviceValueName(source.letter), value,
                                           kMaxIdentifierBytes) != 0) {
    return false;
  }
  out = value.data;
  return !out.empty();
}

// The rewrite of a hive file, committed when something changed. Writes no log.
[[nodiscard]] EditCode EditHive(const std::string& path, const SourceIdentity& source,
                                const VolumeIdentifier& destination) {
  Hive hive;
  if (hive.Open(path, true) != 0) return kEditOpenFailed;
  const HiveKey key = hive.Child(hive.Root(), kMountedDevicesKey);
  if (key == kNoHiveKey) return kEditNoKey;
  VolumeIdentifier sourceId;
  if (!ResolveSourceIdentifier(hive, key, source, sourceId)) return kEditNoSourceEntry;
  // Moving a letter from a volume to itself (an image restored onto the volume
  // it was taken from) changes nothing; the removal pass would otherwise drop
  // the very letter that is to stay.
  if (SameBytes(sourceId, destination)) return kEditSameVolume;
  const Bytes replacement(destination);
  const int removed = RewriteDosDeviceValues(hive, key, destination, nullptr);
  const int replaced = removed < 0 ? -1 : RewriteDosDeviceValues(hive, key, sourceId, &replacement);
  if (removed < 0 || replaced < 0) return kEditRewriteFailed;
  if (removed == 0 && replaced == 0) return kEditUnchanged;
  return hive.Commit() == 0 ? kEditChanged : kEditCommitFailed;
}

// Runs the edit isolated and logs what it came to.
FixOutcome ApplyFix(const std::string& path, const SourceIdentity& source,
                    const VolumeIdentifier& destination) {
  const int code =
      platform::RunIsolated([&]() { return ToInt(EditHive(path, source, destination)); });
  // A crash, or a child that never started, is a number outside the codes: the default.
  switch (static_cast<EditCode>(code)) {
    case kEditUnchanged:
      return FixOutcome::kUnchanged;
    case kEditChanged:
      return FixOutcome::kChanged;
    case kEditNoKey:
      LogLess("change RegOpenKeyEx reload reg error! 0x%x", static_cast<unsigned>(ENOENT));
      return FixOutcome::kUnchanged;
    case kEditNoSourceEntry:
      LogDebug("Search reg item=%s fail,error=0x%x", DosDeviceValueName(source.letter).c_str(),
               static_cast<unsigned>(ENOENT));
      return FixOutcome::kUnchanged;
    case kEditSameVolume:
      LogDebug("source and destination are the same volume, the hive keeps its letters");
      return FixOutcome::kUnchanged;
    case kEditOpenFailed:
      LogLess("change reg open local machine error = 0x%x!", static_cast<unsigned>(EINVAL));
      return FixOutcome::kFailed;
    case kEditCommitFailed:
      LogLess("change reg write back error! 0x%x", static_cast<unsigned>(EIO));
      return FixOutcome::kFailed;
    default:
      LogLess("change reg rewrite error! %d, the hive is damaged", code);
      return FixOutcome::kFailed;
  }
}

// The hive must open before anything else is looked at; a missing or damaged
// hive ends the fix-up. Read-only here: nothing is changed in this process.
int CheckHiveOpens(const std::string& path) {
  Hive hive;
  const int error = hive.Open(path, false);
  if (error != 0) {
    LogLess("change reg open local machine error = 0x%x!", static_cast<unsigned>(error));
  }
  return error;
}

// The edited working copy must still open as a hive before it replaces the original.
int WriteBack(const fs::path& work, const fs::path& original) {
  Hive check;
  const int reopened = check.Open(work.string(), false);
  if (reopened != 0) return reopened;
  check.Close();
  std::error_code ec;
  fs::copy_file(work, original, fs::copy_options::overwrite_existing, ec);
  return ec ? ec.value() : 0;
}

// Mounts the destination, edits a private working copy of its hive and writes
// it back. `identify` runs once the hive is open, as the identifiers are only
// looked for then.
struct MountedFix {
  platform::PrivateNtfsMount mount;
  std::string workDir;
  fs::path original;
  fs::path work;

  ~MountedFix() {
    if (!workDir.empty()) {
      std::error_code ec;
      fs::remove_all(workDir, ec);
    }
  }

  int Open(const platform::VolumeId& destination) {
    int error = mount.Mount(destination.DevicePath(), false);
    if (error == 0) error = FindSystemHive(mount.Path(), original);
    if (error == 0) error = platform::MakePrivateTempDirectory(workDir);
    if (error == 0) {
      work = fs::path(workDir) / "SYSTEM";
      std::error_code ec;
      fs::copy_file(original, work, ec);
      error = ec ? ec.value() : 0;
    }
    if (error != 0) {
      LogLess("change reg open local machine error = 0x%x!", static_cast<unsigned>(error));
      return error;
    }
    return CheckHiveOpens(work.string());
  }
};

bool ResolveIdentity(const platform::VolumeId& source, char16_t sourceLetter,
                     const platform::VolumeId& destination, SourceIdentity& identity,
                     VolumeIdentifier& destinationId) {
  if (ComputeVolumeIdentifier(destination, destinationId) != kLocateOk) {
    LogDebug("Search reg item=%s fail,error=0x%x", destination.DisplayName().c_str(),
             static_cast<unsigned>(ENODEV));
    return false;
  }
  identity.letter = sourceLetter;
  if (!source.Empty() && ComputeVolumeIdentifier(source, identity.identifier) != kLocateOk) {
    identity.identifier.clear();
    if (sourceLetter == 0) {
      LogDebug("Search reg item=%s fail,error=0x%x", source.DisplayName().c_str(),
               static_cast<unsigned>(ENODEV));
      return false;
    }
  }
  return true;
}

// The letter whose entry in the hive at `path` holds exactly `identifier`
// ('A'..'Z'), or 0. Runs isolated: it reads a hive from a volume we do not trust.
int LetterInHive(const std::string& path, const VolumeIdentifier& identifier) {
  Hive hive;
  if (hive.Open(path, false) != 0) return 0;
  const HiveKey key = hive.Child(hive.Root(), kMountedDevicesKey);
  if (key == kNoHiveKey) return 0;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    HiveValue value;
    if (hive.ReadValue(key, DosDeviceValueName(static_cast<char16_t>(letter)), value,
                       kMaxIdentifierBytes) == 0 &&
        SameBytes(value.data, identifier)) {
      return letter;
    }
  }
  return 0;
}

}  // namespace

bool EnablePrivileges() {
  if (platform::HasAdministratorRights()) return true;
  LogLess("Update right fail 1 , error:0x%x", static_cast<unsigned>(kPermissionError));
  LogLessText("the offline registry and boot configuration work needs root rights");
  return false;
}

std::string DosDeviceValueName(char16_t letter) {
  const char c = letter > 0 && letter < 0x80 ? static_cast<char>(letter) : '?';
  return std::string("\\DosDevices\\") + c + ":";
}

int RewriteDosDeviceValues(Hive& hive, HiveKey key, Bytes match, const Bytes* replacement) {
  std::vector<HiveValue> values;
  if (hive.ReadValues(key, values) != 0) return -1;
  int changed = 0;
  std::vector<HiveValue> kept;
  kept.reserve(values.size());
  for (HiveValue& value : values) {
    const bool candidate = value.name.find(kDosDevicesMarker) != std::string::npos &&
                           value.data.size() <= kMaxIdentifierBytes;
    if (!candidate || !SameBytes(value.data, match) || (replacement && changed > 0)) {
      kept.push_back(std::move(value));
      continue;
    }
    ++changed;
    if (replacement) {
      value.data.assign(replacement->begin(), replacement->end());
      if (hive.SetValue(key, value) != 0) return -1;
    }
  }
  // Removals rewrite the key's value list without the removed entries; every
  // entry is looked at, also the one that follows a removed one.
  if (!replacement && changed > 0 && hive.SetValues(key, kept) != 0) return -1;
  return changed;
}

bool FixMountedDevicesInHive(const std::string& hivePath, const SourceIdentity& source,
                             const VolumeIdentifier& destination) {
  if (CheckHiveOpens(hivePath) != 0) return false;
  const FixOutcome outcome = ApplyFix(hivePath, source, destination);
  LogLessText("Change reg finish!");
  return outcome != FixOutcome::kFailed;
}

bool FixMountedDevices(const platform::VolumeId& source, char16_t sourceLetter,
                       const platform::VolumeId& destination) {
  if (!EnablePrivileges()) {
    LogLessText("change reg elevated permission error!");
    return false;
  }
  LogLessText("ready load local machine!");
  MountedFix fix;
  if (fix.Open(destination) != 0) return false;

  FixOutcome outcome = FixOutcome::kUnchanged;
  SourceIdentity identity;
  VolumeIdentifier destinationId;
  if (ResolveIdentity(source, sourceLetter, destination, identity, destinationId)) {
    outcome = ApplyFix(fix.work.string(), identity, destinationId);
  }
  if (outcome == FixOutcome::kChanged) {
    const int written = WriteBack(fix.work, fix.original);
    if (written != 0) {
      LogLess("change reg write back error! 0x%x", static_cast<unsigned>(written));
      outcome = FixOutcome::kFailed;
    }
  }
  const int unmounted = fix.mount.Unmount();
  if (unmounted != 0) {
    LogLess("RegUnLoadKey error! 0x%x", static_cast<unsigned>(unmounted));
    // Changes that the driver may not have written out are not a success.
    if (outcome == FixOutcome::kChanged) return false;
  } else {
    LogLessText("Change reg finish!");
  }
  return outcome != FixOutcome::kFailed;
}

char16_t LetterOfVolumeInOwnHive(const platform::VolumeId& volume) {
  VolumeIdentifier identifier;
  if (ComputeVolumeIdentifier(volume, identifier) != kLocateOk) return 0;
  platform::PrivateNtfsMount mount;
  if (mount.Mount(volume.DevicePath(), true) != 0) return 0;
  fs::path hive;
  int letter = 0;
  if (FindSystemHive(mount.Path(), hive) == 0) {
    letter = platform::RunIsolated([&]() { return LetterInHive(hive.string(), identifier); });
  }
  if (const int error = mount.Unmount(); error != 0) {
    LogLess("unmounting %s after reading its registry failed, error=%d",
            volume.DisplayName().c_str(), error);
  }
  if (letter < 'A' || letter > 'Z') return 0;
  LogDebug("volume %s is %c: in its own registry", volume.DisplayName().c_str(), letter);
  return static_cast<char16_t>(letter);
}

}  // namespace stow::bootrepair
