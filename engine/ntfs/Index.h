// NTFS directory indexes: the $INDEX_ROOT value of a directory, the INDX blocks
// of its $INDEX_ALLOCATION, and the entries of both, each keyed by a $FILE_NAME
// that gives a name and the file record it names.
//
// Pure functions over bytes read from the disk, which are hostile: every
// offset, length and count is checked against the node that holds it, a
// malformed node yields an error, and nothing is ever read past a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/Bytes.h"

namespace stow::engine::ntfs {

inline constexpr uint32_t kAttrIndexRoot = 0x90;
inline constexpr uint32_t kAttrIndexAllocation = 0xA0;
// The index of a directory's file names.
inline constexpr std::u16string_view kDirectoryIndexName = u"$I30";

// $INDEX_ROOT value.
inline constexpr size_t kRootIndexedTypeOffset = 0x00;       // u32: 0x30 for file names
inline constexpr size_t kRootBlockSizeOffset = 0x08;         // u32: bytes per INDX block
inline constexpr size_t kRootClustersPerBlockOffset = 0x0C;  // u8
inline constexpr size_t kRootNodeHeaderOffset = 0x10;

// Node header (of the root and of every INDX block); offsets relative to itself.
inline constexpr size_t kNodeEntriesOffset = 0x00;      // u32: first entry
inline constexpr size_t kNodeIndexLengthOffset = 0x04;  // u32: end of the last entry
inline constexpr size_t kNodeAllocatedOffset = 0x08;    // u32
inline constexpr size_t kNodeFlagsOffset = 0x0C;        // u8: 1 = entries have subnodes
inline constexpr size_t kNodeHeaderSize = 0x10;

// INDX block header.
inline constexpr uint32_t kIndexBlockSignature = 0x58444E49;  // "INDX" read as a 32-bit value
inline constexpr size_t kBlockVcnOffset = 0x10;               // u64: the block's own VCN
inline constexpr size_t kBlockNodeHeaderOffset = 0x18;

// Index entry.
inline constexpr size_t kEntryReferenceOffset = 0x00;  // u64 file reference
inline constexpr size_t kEntryLengthOffset = 0x08;     // u16
inline constexpr size_t kEntryKeyLengthOffset = 0x0A;  // u16
inline constexpr size_t kEntryFlagsOffset = 0x0C;      // u16
inline constexpr size_t kEntryKeyOffset = 0x10;
inline constexpr size_t kEntrySubnodeSize = 8;  // u64 VCN in the entry's last 8 bytes
inline constexpr uint16_t kEntryHasSubnode = 0x0001;
inline constexpr uint16_t kEntryLast = 0x0002;

// $FILE_NAME value (the key of a directory index entry).
inline constexpr size_t kFileNameParentOffset = 0x00;      // u64 file reference
inline constexpr size_t kFileNameAttributesOffset = 0x38;  // u32 file attributes
inline constexpr size_t kFileNameLengthOffset = 0x40;      // u8, UTF-16 units
inline constexpr size_t kFileNameSpaceOffset = 0x41;       // u8
inline constexpr size_t kFileNameNameOffset = 0x42;
inline constexpr uint32_t kFileAttributeDirectory = 0x10000000;  // has a $I30 index

// File references: the record number in the low 48 bits, its sequence number above.
inline constexpr uint64_t kReferenceRecordBits = 48;
inline constexpr uint64_t kRecordOfReference = (uint64_t{1} << kReferenceRecordBits) - 1;

// Record header fields used to check what a reference names.
inline constexpr size_t kSequenceNumberOffset = 16;  // u16
inline constexpr uint16_t kRecordIsDirectory = 0x0002;

// Index blocks are a power of two between 512 bytes and 64 KiB.
inline constexpr uint32_t kMinIndexBlockSize = 512;
inline constexpr uint32_t kMaxIndexBlockSize = 65536;

struct IndexEntry {
  uint64_t recordNumber = 0;  // the low 48 bits of the reference
  uint16_t sequence = 0;      // the high 16 bits
  uint16_t flags = 0;
  bool last = false;  // the end entry of its node: no key
  bool hasSubnode = false;
  uint64_t subnodeVcn = 0;  // when hasSubnode
  uint32_t fileAttributes = 0;
  uint8_t nameSpace = 0;
  std::u16string name;
};

struct IndexRoot {
  uint32_t indexedType = 0;
  uint32_t blockSize = 0;
  uint8_t clustersPerBlock = 0;
  bool hasSubnodes = false;
};

enum class IndexError {
  kNone,
  kTooShort,      // the value or block cannot hold its headers
  kBadNode,       // the node header's entries lie outside the node
  kBadEntry,      // an entry runs past the node, is too short or its key does not fit
  kBadKey,        // a key is not a well-formed $FILE_NAME
  kNoLastEntry,   // the node ends without its end entry
  kBadSignature,  // an INDX block without "INDX"
  kBadFixup,      // its update sequence array does not fit the block
  kBadBlockSize,  // the root gives a block size that is not a power of two in range
  kNotFileNames,  // the root indexes something other than file names
};

const char* IndexErrorText(IndexError error);

// Parses the entries of the node whose header is at `headerOffset` of `area`
// (the root value or an INDX block), appending them to `out` up to and with
// the end entry. Entries before an error stay in `out`.
[[nodiscard]] IndexError ParseIndexNode(Bytes area, size_t headerOffset,
                                        std::vector<IndexEntry>& out);

// Parses a directory's $INDEX_ROOT value: its header and the root node's entries.
[[nodiscard]] IndexError ParseIndexRoot(Bytes value, IndexRoot& root, std::vector<IndexEntry>& out);

// Parses one INDX block as read from disk: applies its fix-up in place, then
// parses its node. `vcn` receives the block's own VCN.
[[nodiscard]] IndexError ParseIndexBlock(MutableBytes block, uint64_t& vcn,
                                         std::vector<IndexEntry>& out);

// The byte position within $INDEX_ALLOCATION of the block with this VCN: VCNs
// count clusters when a block is at least a cluster, else 512-byte units. False
// when it would overflow.
[[nodiscard]] bool IndexBlockOffset(uint64_t vcn, uint32_t blockSize, uint32_t clusterSize,
                                    uint64_t& offset);

// Reads a volume's $UpCase data (65,536 little-endian UTF-16 units; a shorter
// table maps the rest to themselves).
std::vector<char16_t> ParseUpcaseTable(Bytes data);

// Compares two names as NTFS does for directories: unit by unit through the
// volume's upcase table; without a table, ASCII letters are folded.
bool NamesEqualIgnoringCase(std::u16string_view a, std::u16string_view b,
                            std::span<const char16_t> upcase);

}  // namespace stow::engine::ntfs
