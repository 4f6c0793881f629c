// Directory index parsing on nodes built byte by byte: entries with their
// names and references, INDX blocks with their fix-up, and each malformed
// field refused with its error instead of being read past its node.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/Index.h"
#include "support/Bytes.h"

namespace stow::engine::ntfs {
namespace {

using Buffer = std::vector<std::byte>;

constexpr uint32_t kBlockSize = 4096;
constexpr uint16_t kBlockUsaOffset = 0x28;
constexpr uint16_t kBlockUsaCount = kBlockSize / 512 + 1;
constexpr size_t kFirstBlockEntry = 0x40;  // relative to the node header

struct EntryShape {
  std::u16string name;
  uint64_t record = 0;
  uint16_t sequence = 1;
  bool subnode = false;
  uint64_t subnodeVcn = 0;
};

// One index entry with a $FILE_NAME key; an empty name makes the end entry.
Buffer Entry(const EntryShape& want, bool last) {
  const size_t keyLength = last ? 0 : kFileNameNameOffset + want.name.size() * 2;
  size_t length = (kEntryKeyOffset + keyLength + 7) & ~size_t{7};
  if (want.subnode) length += kEntrySubnodeSize;
  Buffer e(length);
  StoreLe64(&e[kEntryReferenceOffset], want.record | (uint64_t{want.sequence} << 48));
  StoreLe16(&e[kEntryLengthOffset], static_cast<uint16_t>(length));
  StoreLe16(&e[kEntryKeyLengthOffset], static_cast<uint16_t>(keyLength));
  StoreLe16(&e[kEntryFlagsOffset],
            static_cast<uint16_t>((want.subnode ? kEntryHasSubnode : 0) | (last ? kEntryLast : 0)));
  if (!last) {
    std::byte* key = &e[kEntryKeyOffset];
    StoreLe64(key + kFileNameParentOffset, 5);
    StoreLe32(key + kFileNameAttributesOffset, kFileAttributeDirectory);
    key[kFileNameLengthOffset] = static_cast<std::byte>(want.name.size());
    key[kFileNameSpaceOffset] = std::byte{1};
    for (size_t i = 0; i < want.name.size(); ++i) {
      StoreLe16(key + kFileNameNameOffset + 2 * i, want.name[i]);
    }
  }
  if (want.subnode) StoreLe64(&e[length - kEntrySubnodeSize], want.subnodeVcn);
  return e;
}

Buffer Entries(const std::vector<EntryShape>& entries, const EntryShape& end = {}) {
  Buffer out;
  for (const EntryShape& s : entries) {
    const Buffer e = Entry(s, false);
    out.insert(out.end(), e.begin(), e.end());
  }
  const Buffer e = Entry(end, true);
  out.insert(out.end(), e.begin(), e.end());
  return out;
}

void PutNodeHeader(Buffer& area, size_t header, size_t firstEntry, size_t entriesSize,
                   bool subnodes) {
  StoreLe32(&area[header + kNodeEntriesOffset], static_cast<uint32_t>(firstEntry));
  StoreLe32(&area[header + kNodeIndexLengthOffset],
            static_cast<uint32_t>(firstEntry + entriesSize));
  StoreLe32(&area[header + kNodeAllocatedOffset], static_cast<uint32_t>(firstEntry + entriesSize));
  area[header + kNodeFlagsOffset] = std::byte{subnodes ? uint8_t{1} : uint8_t{0}};
}

Buffer RootValue(const Buffer& entries, bool subnodes = false) {
  Buffer v(kRootNodeHeaderOffset + kNodeHeaderSize + entries.size());
  StoreLe32(&v[kRootIndexedTypeOffset], 0x30);
  StoreLe32(&v[4], 1);  // collation: file names
  StoreLe32(&v[kRootBlockSizeOffset], kBlockSize);
  v[kRootClustersPerBlockOffset] = std::byte{1};
  PutNodeHeader(v, kRootNodeHeaderOffset, kNodeHeaderSize, entries.size(), subnodes);
  std::memcpy(&v[kRootNodeHeaderOffset + kNodeHeaderSize], entries.data(), entries.size());
  return v;
}

// An INDX block as it lies on disk: block ends replaced by the sequence number.
Buffer Block(uint64_t vcn, const Buffer& entries) {
  Buffer b(kBlockSize);
  StoreLe32(&b[0], kIndexBlockSignature);
  StoreLe16(&b[kUsaOffsetOffset], kBlockUsaOffset);
  StoreLe16(&b[kUsaCountOffset], kBlockUsaCount);
  StoreLe64(&b[kBlockVcnOffset], vcn);
  PutNodeHeader(b, kBlockNodeHeaderOffset, kFirstBlockEntry, entries.size(), false);
  std::memcpy(&b[kBlockNodeHeaderOffset + kFirstBlockEntry], entries.data(), entries.size());
  StoreLe16(&b[kBlockUsaOffset], 0x0007);  // sequence number
  EXPECT_TRUE(UndoFixup(b));
  return b;
}

TEST(IndexParse, RootEntriesGiveNamesReferencesAndSubnodes) {
  const Buffer value = RootValue(
      Entries({{u"$MFT", 0, 1}, {u"Windows", 64, 3, true, 2}}, {u"", 0, 0, true, 7}), true);
  IndexRoot root;
  std::vector<IndexEntry> entries;
  ASSERT_EQ(ParseIndexRoot(value, root, entries), IndexError::kNone);
  EXPECT_EQ(root.blockSize, kBlockSize);
  EXPECT_TRUE(root.hasSubnodes);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, u"$MFT");
  EXPECT_EQ(entries[1].name, u"Windows");
  EXPECT_EQ(entries[1].recordNumber, 64u);
  EXPECT_EQ(entries[1].sequence, 3u);
  EXPECT_TRUE(entries[1].hasSubnode);
  EXPECT_EQ(entries[1].subnodeVcn, 2u);
  EXPECT_EQ(entries[1].fileAttributes, kFileAttributeDirectory);
  EXPECT_TRUE(entries[2].last);
  EXPECT_TRUE(entries[2].name.empty());
  EXPECT_EQ(entries[2].subnodeVcn, 7u);
}

TEST(IndexParse, ABlockIsFixedUpAndParsed) {
  // A name across the first 512-byte boundary proves the fix-up was applied.
  std::vector<EntryShape> specs;
  for (int i = 0; i < 8; ++i)
    specs.push_back(
        {u"a-name-long-enough-to-cross-" + std::u16string(1, u'a' + static_cast<char16_t>(i)),
         100u + static_cast<uint64_t>(i)});
  Buffer block = Block(4, Entries(specs));
  std::vector<IndexEntry> entries;
  uint64_t vcn = 0;
  ASSERT_EQ(ParseIndexBlock(block, vcn, entries), IndexError::kNone);
  EXPECT_EQ(vcn, 4u);
  ASSERT_EQ(entries.size(), specs.size() + 1);
  for (size_t i = 0; i < specs.size(); ++i) {
    EXPECT_EQ(entries[i].name, specs[i].name);
    EXPECT_EQ(entries[i].recordNumber, specs[i].record);
  }
}

TEST(IndexParse, MalformedNodesAreRefusedWithTheirError) {
  const Buffer good = RootValue(Entries({{u"Windows", 64}}));
  const size_t header = kRootNodeHeaderOffset;
  const size_t first = header + kNodeHeaderSize;
  IndexRoot root;
  std::vector<IndexEntry> out;
  auto parse = [&](const Buffer& v) {
    out.clear();
    return ParseIndexRoot(v, root, out);
  };
  ASSERT_EQ(parse(good), IndexError::kNone);

  EXPECT_EQ(parse(Buffer(good.begin(), good.begin() + 20)), IndexError::kTooShort);
  Buffer v = good;
  StoreLe32(&v[kRootIndexedTypeOffset], 0x80);
  EXPECT_EQ(parse(v), IndexError::kNotFileNames);
  v = good;
  StoreLe32(&v[kRootBlockSizeOffset], 3000);
  EXPECT_EQ(parse(v), IndexError::kBadBlockSize);
  v = good;
  StoreLe32(&v[header + kNodeIndexLengthOffset], 0xFFFFFF00);
  EXPECT_EQ(parse(v), IndexError::kBadNode);
  v = good;
  StoreLe32(&v[header + kNodeEntriesOffset], 4);  // inside the node header
  EXPECT_EQ(parse(v), IndexError::kBadNode);
  v = good;
  StoreLe16(&v[first + kEntryLengthOffset], 0x7FF8);  // runs past the node
  EXPECT_EQ(parse(v), IndexError::kBadEntry);
  v = good;
  StoreLe16(&v[first + kEntryLengthOffset], 8);  // shorter than an entry
  EXPECT_EQ(parse(v), IndexError::kBadEntry);
  v = good;
  StoreLe16(&v[first + kEntryKeyLengthOffset], 0x200);  // key longer than its entry
  EXPECT_EQ(parse(v), IndexError::kBadEntry);
  v = good;
  v[first + kEntryKeyOffset + kFileNameLengthOffset] = std::byte{200};  // name past its key
  EXPECT_EQ(parse(v), IndexError::kBadKey);
  v = good;
  StoreLe16(&v[first + kEntryFlagsOffset], kEntryHasSubnode);  // claims a VCN it has no room for
  const IndexError subnode = parse(v);
  EXPECT_TRUE(subnode == IndexError::kBadEntry || subnode == IndexError::kNone);
  // The end entry cut off: the walk stops at the node's end.
  v = good;
  const uint32_t length = LoadLe32(&v[header + kNodeIndexLengthOffset]);
  StoreLe32(&v[header + kNodeIndexLengthOffset], length - 16);
  EXPECT_EQ(parse(v), IndexError::kNoLastEntry);
  EXPECT_EQ(out.size(), 1u) << "entries before the fault stay";

  Buffer block = Block(0, Entries({{u"x", 70}}));
  std::vector<IndexEntry> entries;
  uint64_t vcn = 0;
  Buffer bad = block;
  bad[0] = std::byte{'F'};
  EXPECT_EQ(ParseIndexBlock(bad, vcn, entries), IndexError::kBadSignature);
  bad = block;
  StoreLe16(&bad[kUsaCountOffset], 3);
  EXPECT_EQ(ParseIndexBlock(bad, vcn, entries), IndexError::kBadFixup);
  EXPECT_EQ(ParseIndexBlock(MutableBytes(block).first(32), vcn, entries), IndexError::kTooShort);
  EXPECT_EQ(ParseIndexBlock(MutableBytes(block).first(40), vcn, entries), IndexError::kBadFixup);
}

TEST(IndexParse, BlockOffsetsCountClustersOrSectors) {
  uint64_t offset = 0;
  ASSERT_TRUE(IndexBlockOffset(3, 4096, 4096, offset));
  EXPECT_EQ(offset, 3u * 4096);
  ASSERT_TRUE(IndexBlockOffset(3, 4096, 512, offset));
  EXPECT_EQ(offset, 3u * 512);  // clusters of 512 bytes
  ASSERT_TRUE(IndexBlockOffset(16, 4096, 65536, offset));
  EXPECT_EQ(offset, 16u * 512);  // blocks smaller than a cluster: 512-byte units
  EXPECT_FALSE(IndexBlockOffset(UINT64_MAX / 2, 4096, 4096, offset));
  EXPECT_FALSE(IndexBlockOffset(1, 4096, 3000, offset));
}

TEST(IndexParse, NamesCompareThroughTheUpcaseTable) {
  EXPECT_TRUE(NamesEqualIgnoringCase(u"WINDOWS", u"Windows", {}));
  EXPECT_TRUE(NamesEqualIgnoringCase(u"system32", u"System32", {}));
  EXPECT_FALSE(NamesEqualIgnoringCase(u"System3", u"System32", {}));
  EXPECT_FALSE(NamesEqualIgnoringCase(u"System33", u"System32", {}));
  // Beyond ASCII only the volume's table knows the cases.
  EXPECT_FALSE(NamesEqualIgnoringCase(u"\u00e9t\u00e9", u"\u00c9T\u00c9", {}));
  std::vector<char16_t> table(65536);
  for (size_t c = 0; c < table.size(); ++c) table[c] = static_cast<char16_t>(c);
  for (char16_t c = u'a'; c <= u'z'; ++c) table[c] = static_cast<char16_t>(c - 32);
  table[0xE9] = 0xC9;
  EXPECT_TRUE(NamesEqualIgnoringCase(u"\u00e9t\u00e9", u"\u00c9T\u00c9", table));
  Buffer raw(8);
  StoreLe16(&raw[0], 0x41);
  StoreLe16(&raw[2], 0x42);
  const std::vector<char16_t> parsed = ParseUpcaseTable(Buffer(raw.begin(), raw.begin() + 5));
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[1], u'B');
}

}  // namespace
}  // namespace stow::engine::ntfs
