// Finding files by name through a volume's own directory indexes, read with the
// engine's MFT reader: a directory's $INDEX_ROOT and the INDX blocks of its
// $INDEX_ALLOCATION (through its run list, also where an attribute list moved
// it to extension records), compared case-insensitively through the volume's
// $UpCase table. Read-only; the volume may be mounted elsewhere.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ntfs/Index.h"
#include "engine/ntfs/RunList.h"

namespace stow::engine {
class MftReader;
}

namespace stow::engine::ntfs {

inline constexpr uint64_t kRootDirectoryRecord = 5;
inline constexpr uint64_t kUpcaseRecord = 10;

enum class LookupResult {
  kFound,
  kNotFound,      // no entry of that name
  kNotDirectory,  // a path component before the last is not a directory
  kUnreadable,    // the volume, a record or an index block cannot be read
  kDamaged,       // an index or record is malformed
};

const char* LookupResultText(LookupResult result);

struct FoundFile {
  uint64_t recordNumber = 0;
  bool directory = false;
};

class DirectoryReader {
 public:
  // `mft` reads an open NTFS volume that passed CheckNtfsVolume.
  explicit DirectoryReader(MftReader& mft);

  // Looks `name` up in the directory of record `directory`.
  [[nodiscard]] LookupResult Find(uint64_t directory, std::u16string_view name, FoundFile& out);
  // Looks a path up from the root directory, one component at a time.
  [[nodiscard]] LookupResult FindPath(const std::vector<std::u16string>& components,
                                      FoundFile& out);

 private:
  struct DirectoryIndex {
    IndexRoot root;
    std::vector<IndexEntry> rootEntries;
    std::vector<DataRun> allocation;  // runs of $INDEX_ALLOCATION, all extents
  };

  [[nodiscard]] LookupResult ReadRecord(uint64_t number, std::vector<std::byte>& out);
  [[nodiscard]] LookupResult LoadIndex(uint64_t directory, DirectoryIndex& index);
  [[nodiscard]] LookupResult CollectAllocation(uint64_t directory,
                                               const std::vector<std::byte>& base,
                                               DirectoryIndex& index);
  [[nodiscard]] LookupResult SearchTree(const DirectoryIndex& index, std::u16string_view name,
                                        IndexEntry& match);
  [[nodiscard]] LookupResult ReadBlock(const DirectoryIndex& index, uint64_t vcn,
                                       std::vector<IndexEntry>& out);
  [[nodiscard]] bool ReadStream(const std::vector<DataRun>& runs, uint64_t offset, std::byte* out,
                                uint64_t length);
  [[nodiscard]] LookupResult Describe(const IndexEntry& entry, FoundFile& out);
  void LoadUpcase();

  MftReader& mft_;
  bool upcaseLoaded_ = false;
  std::vector<char16_t> upcase_;
};

}  // namespace stow::engine::ntfs
