// Copying file trees and logging each file: the boot file set onto a boot
// partition (CopyBootFiles, which also yields the list of the boot
// configuration stores it placed), and a folder into another (CopyTree, for
// the rescue media), with the folder helpers both need.
//
// Walks run over folders of this system with '/' separators and no length
// bound of their own: a path is as long as its folders make it. They never
// follow a symbolic link into a folder, and stop at kMaxWalkDepth levels and
// kMaxWalkFiles files, so that a hostile tree (say, inside a copied
// installation) costs bounded time and memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/VolumeFiles.h"

namespace stow::bootrepair {

// Full paths in discovery order: depth first, a folder's entries in the order
// of an NTFS directory index (names compared upper-cased), files and folders
// interleaved as found.
using FileList = std::vector<std::string>;

// Boot filter flags; they apply to the top level of a walk only.
// 1: at the top level take only the file "bootmgr" and enter the folder "boot".
inline constexpr int kBootFilterBootManager = 1;
// 2: at the top level enter the folder "EFI" (with only this flag, every top-level file is taken).
inline constexpr int kBootFilterEfi = 2;
// 0: every file taken, every folder entered.
inline constexpr int kBootFilterNone = 0;
// What CopyBootFiles is given: bootmgr, the whole boot folder and the whole EFI folder.
inline constexpr int kBootFilterBootSet = kBootFilterBootManager | kBootFilterEfi;

inline constexpr const char* kBootManagerName = "bootmgr";
inline constexpr const char* kBootFolderName = "boot";
inline constexpr const char* kEfiFolderName = "EFI";
// The name of a boot configuration store.
inline constexpr const char* kStoreName = "BCD";
inline constexpr char kStoreListSeparator = '|';

// MyCopyFile streams through one buffer of this size.
inline constexpr size_t kCopyBufferSize = 10240;
// Caps of a walk.
inline constexpr int kMaxWalkDepth = 64;
inline constexpr size_t kMaxWalkFiles = 100000;

// Appends the files under `root` that `filter` takes.
void CollectFiles(const std::string& root, FileList& files, int filter);

// The exclusion walk: every file at every level; at the top level a folder is
// skipped when `exclude` is set and its name equals `excludedName` ignoring case.
void CollectFilesExcluding(const std::string& root, FileList& files,
                           const std::string& excludedName, bool exclude);

// Makes sure the folder that will hold the file `path` (a path inside
// `volume`, "/EFI/Boot/BCD") exists, creating the missing folders from the
// top down. False when the path names no folder, or when the last folder
// creation failed.
[[nodiscard]] bool EnsureDirectory(platform::VolumeFiles& volume, const std::string& path);

// Copies the local file `source` to `destination` inside `volume`. An existing
// destination loses its attributes for the copy (a read-only file can be
// replaced) and gets them back afterwards. On failure `error` (when given)
// receives the system error.
[[nodiscard]] bool MyCopyFile(const std::string& source, platform::VolumeFiles& volume,
                              const std::string& destination, int* error = nullptr);

// Copies the files that `filter` takes from the local folder `sourceRoot` to
// the same places inside `destination`. `storeList` receives the paths (inside
// the volume) of every file named "BCD" it tried to place, joined by '|',
// also when that copy failed. A file that fails is logged and the copy goes on
// with the next one; when a folder cannot be made the copy stops there. Returns
// the number of files found that are not in place: 0 when every one was copied.
[[nodiscard]] size_t CopyBootFiles(int filter, const std::string& sourceRoot,
                                   platform::VolumeFiles& destination, std::string& storeList);

// Copies every file of `sourceRoot` to `destinationRoot` (both local), leaving
// out the top-level folder `excludedName` when `exclude` is set. Failures as
// for CopyBootFiles; returns the number of files not copied.
[[nodiscard]] size_t CopyTree(bool exclude, const std::string& sourceRoot,
                              const std::string& destinationRoot, const std::string& excludedName);

// Removes `folder` with everything in it, as far as it can; failures are ignored.
void DeleteTree(const std::string& folder);

// Splits a store list at '|' (empty parts dropped).
std::vector<std::string> SplitStoreList(const std::string& storeList);

}  // namespace stow::bootrepair
