#include "bootrepair/BootRepair.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <random>
#include <system_error>
#include <utility>
#include <vector>

#include "bootrepair/BcdStore.h"
#include "bootrepair/BootFiles.h"
#include "bootrepair/Registry.h"
#include "engine/disk/Disk.h"
#include "platform/System.h"
#include "support/Enums.h"
#include "support/Log.h"

namespace stow::bootrepair {
namespace {

namespace fs = std::filesystem;
using platform::VolumeFiles;

// Where the installation keeps the boot manager files of each firmware.
constexpr const char* kBiosBootFiles[] = {"Windows", "Boot", "PCAT"};
constexpr const char* kUefiBootFiles[] = {"Windows", "Boot", "EFI"};
// Where they go in the boot file set.
constexpr const char* kBiosBootFolder = "/Boot";
constexpr const char* kUefiBootFolder = "/EFI/Microsoft/Boot";
// The UEFI boot manager, and the fallback path firmware starts when it has no entry of its own.
constexpr const char* kUefiBootManager = "bootmgfw.efi";
constexpr const char* kUefiFallbackLoader = "/EFI/Boot/bootx64.efi";
constexpr int kStagingAttempts = 16;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// A private folder under the system's temporary folder; empty when none can be made.
std::string MakeStagingFolder() {
  std::error_code error;
  const fs::path base = fs::temp_directory_path(error);
  if (error) return {};
  std::random_device random;
  for (int attempt = 0; attempt < kStagingAttempts; ++attempt) {
    const fs::path folder = base / ("stowline-boot-" + std::to_string(random()));
    if (fs::create_directory(folder, error) && !error) {
      fs::permissions(folder, fs::perms::owner_all, error);
      return folder.string();
    }
  }
  return {};
}

// The entry of `folder` named `name` without regard to case (NTFS keeps the
// case an installation gave a name, and installations differ); empty when
// there is none of the wanted kind.
std::string FindEntryIgnoringCase(const std::string& folder, const std::string& name,
                                  bool wantFolder) {
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (Lower(it->path().filename().string()) != Lower(name)) continue;
    std::error_code statusError;
    const fs::file_status status = it->symlink_status(statusError);
    if (!statusError && (wantFolder ? fs::is_directory(status) : fs::is_regular_file(status))) {
      return it->path().string();
    }
  }
  return {};
}

template <size_t N>
std::string FindFolderIgnoringCase(const std::string& root, const char* const (&names)[N]) {
  std::string folder = root;
  for (const char* name : names) {
    folder = FindEntryIgnoringCase(folder, name, true);
    if (folder.empty()) return {};
  }
  return folder;
}

// False, with a log line, when the file could not be gathered.
[[nodiscard]] bool CopyInto(VolumeFiles& staging, const std::string& source,
                            const std::string& target) {
  if (!EnsureDirectory(staging, target) || !MyCopyFile(source, staging, target)) {
    LogLess("boot file %s not gathered", source.c_str());
    return false;
  }
  return true;
}

// Copies every file below `folder` into `staging` below `targetFolder`, except
// a top-level file named `rootFile` (ignoring case), which goes to the top of
// the set instead. Returns the number of files not gathered.
[[nodiscard]] size_t GatherFolder(VolumeFiles& staging, const std::string& folder,
                                  const std::string& targetFolder, const std::string& rootFile) {
  FileList files;
  CollectFiles(folder, files, kBootFilterNone);
  size_t missing = 0;
  for (const std::string& path : files) {
    const std::string below = path.substr(folder.size());
    const bool toTop = !rootFile.empty() && Lower(below) == "/" + Lower(rootFile);
    if (!CopyInto(staging, path, toTop ? "/" + rootFile : targetFolder + below)) ++missing;
  }
  return missing;
}

// The boot manager files of the installation; a folder the installation does
// not have is logged and left out. Returns the number of files found that
// could not be gathered.
[[nodiscard]] size_t GatherInstallationFiles(const platform::VolumeId& destination,
                                             VolumeFiles& staging) {
  std::unique_ptr<VolumeFiles> installation;
  std::string why;
  if (platform::OpenVolumeFiles(destination.DevicePath(), true, installation, &why) != 0) {
    LogLess("boot manager files of %s not read: %s", destination.DisplayName().c_str(),
            why.c_str());
    return 0;
  }
  const std::string& root = installation->LocalRoot();
  const std::string bios = root.empty() ? "" : FindFolderIgnoringCase(root, kBiosBootFiles);
  const std::string uefi = root.empty() ? "" : FindFolderIgnoringCase(root, kUefiBootFiles);
  if (bios.empty()) LogLess("no Windows/Boot/PCAT on %s", destination.DisplayName().c_str());
  if (uefi.empty()) LogLess("no Windows/Boot/EFI on %s", destination.DisplayName().c_str());
  size_t missing = 0;
  // bootmgr starts a BIOS boot from the partition's top folder.
  if (!bios.empty()) missing += GatherFolder(staging, bios, kBiosBootFolder, kBootManagerName);
  if (!uefi.empty()) {
    missing += GatherFolder(staging, uefi, kUefiBootFolder, "");
    // Also where firmware looks when it has no boot entry of its own for the disk.
    const std::string manager = FindEntryIgnoringCase(uefi, kUefiBootManager, false);
    if (!manager.empty() && !CopyInto(staging, manager, kUefiFallbackLoader)) ++missing;
  }
  const int closed = installation->Close();
  if (closed != 0) {
    LogLess("unmounting %s failed, error=%d", destination.DisplayName().c_str(), closed);
  }
  return missing;
}

std::string JoinStores(const std::vector<std::string>& stores) {
  std::string list;
  for (const std::string& store : stores) {
    if (!list.empty()) list += kStoreListSeparator;
    list += store;
  }
  return list;
}

// Points every store of `storeList` (paths inside `boot`) at the destination.
// The store editor works on files: through the mount they are the stores
// themselves; on FAT, working copies in `workFolder` that go back afterwards.
// False when a store could not be read, pointed or written back.
[[nodiscard]] bool PointStoresAtDestination(VolumeFiles& boot, const std::string& storeList,
                                            const platform::VolumeId& destination,
                                            const std::string& workFolder) {
  std::vector<std::string> local;
  std::vector<std::pair<std::string, std::string>> copies;  // working copy, store
  bool all = true;
  for (const std::string& store : SplitStoreList(storeList)) {
    if (!boot.LocalRoot().empty()) {
      local.push_back(boot.LocalRoot() + store);
      continue;
    }
    const std::string working = workFolder + "/store-" + std::to_string(copies.size());
    const int read = boot.ReadFile(store, working);
    if (read != 0) {
      LogLess("store %s:%s not read for its update, error=%d", boot.Device().c_str(), store.c_str(),
              read);
      all = false;
      continue;
    }
    local.push_back(working);
    copies.emplace_back(working, store);
  }
  if (!SetBcdDevice(JoinStores(local), destination)) all = false;
  for (const auto& [working, store] : copies) {
    if (!MyCopyFile(working, boot, store)) {
      LogLess("store %s:%s not written back", boot.Device().c_str(), store.c_str());
      all = false;
    }
  }
  return all;
}

// Copies the gathered set onto the boot partition and updates its stores:
// BootRepairResult::kOk, BootRepairResult::kFilesNotCopied when the partition could not be
// opened or a file of the set is not on it, else BootRepairResult::kStoresNotSet when
// a store does not point at the destination.
[[nodiscard]] BootRepairResult PlaceBootFiles(const std::string& staging,
                                              const RepairParams& params) {
  const std::string& bootPath = params.bootPartition.DevicePath();
  std::unique_ptr<VolumeFiles> boot;
  std::string why;
  if (platform::OpenVolumeFiles(bootPath, false, boot, &why) != 0) {
    LogLess("boot files not copied to %s: %s", bootPath.c_str(), why.c_str());
    return BootRepairResult::kFilesNotCopied;
  }
  std::string storeList;
  const size_t notCopied = CopyBootFiles(kBootFilterBootSet, staging + "/set", *boot, storeList);
  static_cast<void>(
      EnablePrivileges());  // its result does not stop the update; the editor logs its own failures
  const bool pointed = PointStoresAtDestination(*boot, storeList, params.destination, staging);
  // The partition must be released before its disk's sector 0 is rewritten.
  const int closed = boot->Close();
  if (closed != 0) LogLess("unmounting %s failed, error=%d", bootPath.c_str(), closed);
  // Files the driver may not have written out are not in place either.
  if (notCopied != 0 || closed != 0) return BootRepairResult::kFilesNotCopied;
  return pointed ? BootRepairResult::kOk : BootRepairResult::kStoresNotSet;
}

}  // namespace

size_t GatherBootFileSet(const std::string& templates, const platform::VolumeId& destination,
                         const std::string& staging) {
  std::error_code created;
  fs::create_directories(staging, created);
  const std::unique_ptr<VolumeFiles> set = platform::OpenFolderFiles(staging);
  size_t missing = GatherInstallationFiles(destination, *set);
  std::error_code error;
  if (!fs::is_directory(templates, error)) {
    LogLess("boot file set folder %s not found", templates.c_str());
  }
  // The templates go last: their stores replace anything of the same name.
  missing += CopyTree(false, templates, staging, "");
  return missing;
}

BootRepairResult PlaceBootFileSet(const RepairParams& params, const BootRepairOptions& options) {
  const std::string directory =
      options.programDirectory.empty() ? platform::ProgramDirectory() : options.programDirectory;
  if (directory.empty()) return BootRepairResult::kNoProgramFolder;
  BootRepairResult result = BootRepairResult::kOk;
  const std::string staging = MakeStagingFolder();
  // A system whose boot files or stores are not all in place may not start: no success.
  if (staging.empty()) {
    LogLess("no temporary folder for the boot file set");
    result = BootRepairResult::kFilesNotCopied;
  } else {
    const size_t notGathered = GatherBootFileSet(directory + "/" + kBootFileSetFolder,
                                                 params.destination, staging + "/set");
    // The set goes onto the partition also when it is incomplete: the files
    // that are there still replace older ones.
    const BootRepairResult placed = PlaceBootFiles(staging, params);
    result = notGathered != 0 ? BootRepairResult::kFilesNotCopied : placed;
    DeleteTree(staging);
  }
  LogLess("Change BCD finish! part style %d", ToInt(params.partitionStyle));
  return result;
}

}  // namespace stow::bootrepair
