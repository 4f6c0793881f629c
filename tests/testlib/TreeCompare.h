// A complete comparison of two NTFS volumes as ntfs-3g shows them, for the
// copy and restore tests: every directory and file, each file's contents (by
// hash), its named streams, its allocation (sparse and compressed files keep
// their allocated size), hard-link groups, symbolic-link targets, and the NTFS
// attributes ntfs-3g exposes as extended attributes (file attribute bits,
// the four NTFS times, the security descriptor, reparse data). Every
// difference is reported with its path.
//
// The trees are ntfs-3g mounts made with kTreeMountOptions: read-only, so that
// reading does not change access times, and with streams_interface=windows, so
// that named streams of any size are listed ("ntfs.streams.list") and read as
// "file:stream". A mount without it still works for streams that fit an
// extended attribute (the user.* names of ntfs-3g's default interface).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/testlib/TestUtil.h"

namespace stow::test {

inline constexpr const char* kTreeMountOptions = "streams_interface=windows";

// The extended attributes of ntfs-3g compared on every entry.
inline constexpr const char* kNtfsAttribXattr = "system.ntfs_attrib";
inline constexpr const char* kNtfsTimesXattr = "system.ntfs_times";
inline constexpr const char* kNtfsAclXattr = "system.ntfs_acl";
inline constexpr const char* kNtfsReparseXattr = "system.ntfs_reparse_data";

// NTFS file attribute bits (system.ntfs_attrib, little-endian 32-bit).
inline constexpr uint32_t kNtfsAttrSparse = 0x200;
inline constexpr uint32_t kNtfsAttrCompressed = 0x800;

enum class EntryKind { kDirectory, kFile, kSymlink, kOther };

struct TreeEntry {
  EntryKind kind = EntryKind::kOther;
  uint64_t size = 0;
  uint64_t allocatedBlocks = 0;  // st_blocks: 512-byte units the file system allocated
  uint64_t inode = 0;
  std::string contentHash;  // SHA-256 of a file's unnamed data, hex
  std::string linkTarget;   // a symbolic link's target
  // Named streams: name -> "<size>:<sha-256>".
  std::map<std::string, std::string> streams;
  // The ntfs-3g attributes above: name -> value bytes (absent when the entry has none).
  std::map<std::string, std::string> xattrs;
  // Data segments [offset, end) as SEEK_DATA/SEEK_HOLE report them (one for the
  // whole file where the file system reports no holes, as ntfs-3g does).
  std::vector<std::pair<uint64_t, uint64_t>> dataSegments;
};

struct TreeSnapshot {
  // Relative paths ("" is the root, "dir/file" below it).
  std::map<std::string, TreeEntry> entries;
  // Paths that share an inode with another path, grouped; each group sorted.
  std::set<std::vector<std::string>> hardLinkGroups;
  // What could not be read (with its path); a snapshot with errors is incomplete.
  std::vector<std::string> errors;
};

struct TreeCompareOptions {
  bool compareTimes = true;
  bool ignoreAccessTime = false;  // the fourth NTFS time
  bool compareSecurity = true;
  // Relative paths left out of the comparison, with everything below them.
  std::set<std::string> ignore;
};

struct TreeDifference {
  std::string path;
  std::string what;  // "missing in B", "content", "stream 'x'", "system.ntfs_attrib", ...
  std::string detail;
  std::string Text() const;
};

// Walks the tree under `root` (not following symbolic links).
TreeSnapshot SnapshotTree(const fs::path& root, const TreeCompareOptions& options = {});

// Every difference between two snapshots, in path order.
std::vector<TreeDifference> CompareSnapshots(const TreeSnapshot& a, const TreeSnapshot& b,
                                             const TreeCompareOptions& options = {});

// Both at once.
std::vector<TreeDifference> CompareTrees(const fs::path& a, const fs::path& b,
                                         const TreeCompareOptions& options = {});

// Mounts two NTFS volumes (devices or image files) read-only with
// kTreeMountOptions and compares them. A volume that does not mount is reported
// as a difference at the root.
std::vector<TreeDifference> CompareNtfsVolumes(const std::string& a, const std::string& b,
                                               const TreeCompareOptions& options = {});

// All differences as lines, for test failure messages.
std::string DifferencesText(const std::vector<TreeDifference>& differences, size_t limit = 50);

// SHA-256 of a byte string, as lower-case hex.
std::string Sha256Hex(const std::string& data);

}  // namespace stow::test
