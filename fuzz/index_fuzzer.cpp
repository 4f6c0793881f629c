// Feeds arbitrary bytes to the directory index parsers: as an $INDEX_ROOT
// value, as an INDX block (fix-up applied in place) and as a bare node, then
// compares the names found with the case-folding comparison.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/ntfs/Index.h"
#include "support/Bytes.h"

using namespace stow;
using namespace stow::engine::ntfs;

namespace {

void CheckEntries(const std::vector<IndexEntry>& entries, size_t inputSize) {
  // Every entry is at least 16 bytes of its node: no more entries than that.
  if (entries.size() > inputSize / 16 + 1) __builtin_trap();
  for (size_t i = 0; i < entries.size(); ++i) {
    const IndexEntry& e = entries[i];
    if (e.last && i + 1 != entries.size()) __builtin_trap();
    if (e.last && !e.name.empty()) __builtin_trap();
    if (e.name.size() > 255) __builtin_trap();
    if (e.recordNumber > kRecordOfReference) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes input = AsBytes(data, size);

  IndexRoot root;
  std::vector<IndexEntry> entries;
  (void)IndexErrorText(ParseIndexRoot(input, root, entries));
  CheckEntries(entries, size);

  std::vector<std::byte> block(input.begin(), input.end());
  std::vector<IndexEntry> blockEntries;
  uint64_t vcn = 0;
  (void)ParseIndexBlock(block, vcn, blockEntries);
  CheckEntries(blockEntries, size);

  const size_t header = size > 0 ? data[0] % 64 : 0;
  std::vector<IndexEntry> nodeEntries;
  (void)ParseIndexNode(input, header, nodeEntries);
  CheckEntries(nodeEntries, size);

  const ByteView view(input);
  uint64_t offset = 0;
  if (IndexBlockOffset(view.U64(0), uint32_t{512} << (view.U8(8) % 8),
                       uint32_t{512} << (view.U8(9) % 8), offset) &&
      (offset >> 16) > view.U64(0)) {
    __builtin_trap();  // never more than 64 KiB per VCN
  }

  const std::vector<char16_t> upcase = ParseUpcaseTable(input);
  for (size_t i = 1; i < nodeEntries.size(); ++i) {
    const bool same = NamesEqualIgnoringCase(nodeEntries[i - 1].name, nodeEntries[i].name, upcase);
    if (same != NamesEqualIgnoringCase(nodeEntries[i].name, nodeEntries[i - 1].name, upcase)) {
      __builtin_trap();
    }
  }
  return 0;
}
