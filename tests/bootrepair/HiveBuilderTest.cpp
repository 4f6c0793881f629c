// Empty hives of the program's own making, read back by libhivex's tools
// (hivexsh, hivexget) as the independent reader, and hostile hive files that
// the hive access must refuse without harm.
#include "bootrepair/HiveBuilder.h"

#include <gtest/gtest.h>

#include <fstream>

#include "bootrepair/Hive.h"
#include "support/Bytes.h"
#include "support/Enums.h"
#include "tests/testlib/TestUtil.h"

namespace stow::bootrepair {
namespace {

namespace fs = std::filesystem;

using test::Quote;
using test::Shell;
using test::TempDir;

std::vector<std::byte> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> out(chars.size());
  for (size_t i = 0; i < chars.size(); ++i) out[i] = static_cast<std::byte>(chars[i]);
  return out;
}

void WriteAll(const fs::path& path, const std::vector<std::byte>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

TEST(HiveBuilder, BaseBlockBinAndCellsFollowTheFormat) {
  const std::vector<std::byte> hive = BuildEmptyHive("ROOT");
  ASSERT_EQ(hive.size(), 0x2000u);
  const ByteView v(hive.data(), hive.size());
  EXPECT_TRUE(v.Equals(0, "regf", 4));
  EXPECT_EQ(v.U32(0x04), v.U32(0x08)) << "a clean hive has equal sequence numbers";
  EXPECT_EQ(v.U32(0x14), 1u);       // major version
  EXPECT_EQ(v.U32(0x1C), 0u);       // primary file
  EXPECT_EQ(v.U32(0x20), 1u);       // direct memory load
  EXPECT_EQ(v.U32(0x24), 0x20u);    // root cell right after the bin header
  EXPECT_EQ(v.U32(0x28), 0x1000u);  // one bin
  uint32_t xorSum = 0;
  for (size_t i = 0; i < 0x1FC; i += 4) xorSum ^= v.U32(i);
  EXPECT_EQ(v.U32(0x1FC), xorSum);
  EXPECT_EQ(HiveHeaderChecksum(v.span()), xorSum);

  EXPECT_TRUE(v.Equals(0x1000, "hbin", 4));
  EXPECT_EQ(v.U32(0x1008), 0x1000u);
  // Root key: allocated cell, "nk", hive-entry flag, name.
  const size_t root = 0x1020;
  EXPECT_LT(static_cast<int32_t>(v.U32(root)), 0);
  EXPECT_TRUE(v.Equals(root + 4, "nk", 2));
  EXPECT_NE(v.U16(root + 6) & 0x0004, 0);
  EXPECT_EQ(v.U16(root + 0x4C), 4u);
  EXPECT_TRUE(v.Equals(root + 0x50, "ROOT", 4));
  // Its security cell links to itself and is referenced once.
  const uint32_t sk = v.U32(root + 0x30);
  const size_t skAt = 0x1000 + sk;
  EXPECT_TRUE(v.Equals(skAt + 4, "sk", 2));
  EXPECT_EQ(v.U32(skAt + 8), sk);
  EXPECT_EQ(v.U32(skAt + 12), sk);
  EXPECT_EQ(v.U32(skAt + 16), 1u);
  // Cells cover the bin exactly: walk them by their sizes.
  size_t at = 0x1020;
  int cells = 0;
  while (at < 0x2000 && cells < 16) {
    const auto raw = static_cast<int32_t>(v.U32(at));
    const size_t size = static_cast<size_t>(raw < 0 ? -raw : raw);
    ASSERT_GE(size, 8u);
    ASSERT_EQ(size % 8, 0u);
    at += size;
    ++cells;
  }
  EXPECT_EQ(at, 0x2000u);
  EXPECT_EQ(cells, 3);  // root key, security cell, free rest
}

TEST(HiveBuilder, ChecksumAvoidsTheReservedValues) {
  std::vector<std::byte> block(0x200, std::byte{0});
  EXPECT_EQ(HiveHeaderChecksum(block), 1u);
  StoreLe32(block.data(), 0xFFFFFFFF);
  EXPECT_EQ(HiveHeaderChecksum(block), 0xFFFFFFFEu);
  EXPECT_EQ(HiveHeaderChecksum(Bytes(block.data(), 100)), 0u) << "too short to sum";
}

TEST(HiveBuilder, RefusesRootNamesTheCellCannotHold) {
  EXPECT_TRUE(BuildEmptyHive("").empty());
  EXPECT_TRUE(BuildEmptyHive(std::string(256, 'a')).empty());
  EXPECT_TRUE(BuildEmptyHive("a\\b").empty());
  EXPECT_TRUE(BuildEmptyHive("caf\xc3\xa9").empty());
  EXPECT_FALSE(BuildEmptyHive(std::string(255, 'a')).empty());
  TempDir dir;
  EXPECT_EQ(CreateEmptyHive((dir / "h").string(), ""), EINVAL);
  EXPECT_NE(CreateEmptyHive((dir / "missing" / "h").string(), "ROOT"), 0);
}

TEST(HiveBuilder, LibhivexEditsTheHiveAndItsToolsReadItBack) {
  STOW_REQUIRE(std::vector<std::string>({"hivexsh", "hivexget"}), false, false);
  TempDir dir;
  const fs::path path = dir / "hive";
  ASSERT_EQ(CreateEmptyHive(path.string(), "ROOT"), 0);
  const auto empty = Shell("printf 'ls\\nlsval\\n' | hivexsh " + Quote(path.string()));
  EXPECT_EQ(empty.status, 0) << empty.output;
  EXPECT_EQ(empty.output, "");

  {
    Hive hive;
    ASSERT_EQ(hive.Open(path.string(), true), 0);
    const HiveKey key = hive.EnsurePath(hive.Root(), "Outer\\Inner");
    ASSERT_NE(key, kNoHiveKey);
    std::vector<std::byte> data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::byte>(i);
    ASSERT_EQ(hive.SetValue(key, {"Blob", kRegBinary, data}), 0);
    ASSERT_EQ(hive.SetValue(key, {"Word", kRegDword, {std::byte{7}, {}, {}, {}}}), 0);
    ASSERT_EQ(hive.Commit(), 0);
  }
  const auto keys = Shell("printf 'ls\\ncd Outer\\nls\\n' | hivexsh " + Quote(path.string()));
  EXPECT_EQ(keys.output, "Outer\nInner\n");
  const auto word = Shell("hivexget " + Quote(path.string()) + " 'Outer\\Inner' Word");
  EXPECT_EQ(word.output, "7\n");
  const auto blob = Shell("hivexget " + Quote(path.string()) +
                          " 'Outer\\Inner' Blob | od -An -tx1 -v | tr -d ' \\n' | head -c 24");
  EXPECT_EQ(blob.output, "000102030405060708090a0b");
  const auto size = Shell("hivexget " + Quote(path.string()) + " 'Outer\\Inner' Blob | wc -c");
  EXPECT_EQ(std::stoi(size.output), 300);
}

TEST(HiveBuilder, HiveAccessReadsWhatItWrote) {
  TempDir dir;
  const std::string path = (dir / "hive").string();
  ASSERT_EQ(CreateEmptyHive(path, "ROOT"), 0);
  Hive hive;
  ASSERT_EQ(hive.Open(path, true), 0);
  const HiveKey key = hive.EnsurePath(hive.Root(), "A\\B\\C");
  ASSERT_NE(key, kNoHiveKey);
  EXPECT_EQ(hive.Find(hive.Root(), "a\\b\\c"), key) << "names compare without case";
  EXPECT_EQ(hive.Find(hive.Root(), "A\\X"), kNoHiveKey);
  ASSERT_EQ(hive.SetValue(key, {"One", kRegSz, {std::byte{'x'}, {}, {}, {}}}), 0);
  ASSERT_EQ(hive.SetValue(key, {"Two", kRegBinary, std::vector<std::byte>(64, std::byte{9})}), 0);
  HiveValue value;
  EXPECT_EQ(hive.ReadValue(key, "Two", value), 0);
  EXPECT_EQ(value.data.size(), 64u);
  EXPECT_EQ(hive.ReadValue(key, "Two", value, 63), E2BIG);
  EXPECT_EQ(hive.ReadValue(key, "Three", value), ENOENT);
  std::vector<HiveValue> values;
  EXPECT_EQ(hive.ReadValues(key, values, 63), E2BIG);
  // Types outside the usual ones are carried as they are (a key rewritten
  // without one of its values keeps the others' types).
  ASSERT_EQ(hive.SetValue(key, {"Odd", static_cast<HiveValueType>(0x13), {std::byte{1}}}), 0);
  ASSERT_EQ(hive.SetValue(key, {"Odder", static_cast<HiveValueType>(0xFFFF0000u), {}}), 0);
  ASSERT_EQ(hive.ReadValue(key, "Odd", value), 0);
  EXPECT_EQ(ToInt(value.type), 0x13u);
  ASSERT_EQ(hive.ReadValue(key, "Odder", value), 0);
  EXPECT_EQ(ToInt(value.type), 0xFFFF0000u);
  ASSERT_EQ(hive.SetValues(key, {{"Only", kRegDword, std::vector<std::byte>(4)}}), 0);
  ASSERT_EQ(hive.ReadValues(key, values), 0);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "Only");
  std::vector<std::string> names;
  ASSERT_EQ(hive.ChildNames(hive.Root(), names), 0);
  EXPECT_EQ(names, std::vector<std::string>{"A"});

  Hive readOnly;
  ASSERT_EQ(readOnly.Open(path, false), 0);
  EXPECT_EQ(readOnly.AddChild(readOnly.Root(), "X"), kNoHiveKey);
  EXPECT_EQ(readOnly.Commit(), EROFS);
}

// Every damaged variant must be refused by Open or read without a crash; the
// sanitizers of the test build watch for the rest.
TEST(HiveBuilder, MalformedAndTruncatedHivesAreRefusedSafely) {
  TempDir dir;
  const fs::path good = dir / "good";
  ASSERT_EQ(CreateEmptyHive(good.string(), "ROOT"), 0);
  {
    Hive hive;
    ASSERT_EQ(hive.Open(good.string(), true), 0);
    ASSERT_NE(hive.EnsurePath(hive.Root(), "MountedDevices"), kNoHiveKey);
    ASSERT_EQ(hive.Commit(), 0);
  }
  const std::vector<std::byte> base = ReadAll(good);
  ASSERT_GE(base.size(), 0x2000u);

  const fs::path bad = dir / "bad";
  EXPECT_EQ(Hive().Open((dir / "absent").string(), false), ENOENT);
  WriteAll(bad, {});
  EXPECT_NE(Hive().Open(bad.string(), false), 0) << "empty file";
  for (const size_t length : {size_t{100}, size_t{0x1000}, size_t{0x1010}, size_t{0x1800}}) {
    WriteAll(bad, std::vector<std::byte>(base.begin(), base.begin() + length));
    EXPECT_NE(Hive().Open(bad.string(), false), 0) << "truncated to " << length;
  }
  struct Damage {
    size_t offset;
    uint32_t value;
    const char* what;
  };
  const Damage damages[] = {
      {0x000, 0, "signature"},           {0x1FC, 0x12345678, "checksum"},
      {0x1000, 0, "bin signature"},      {0x1008, 0x7FFFF000, "bin size"},
      {0x1020, 0x7FFFFFF8, "cell size"}, {0x1020, 3, "cell size not aligned"},
  };
  for (const Damage& d : damages) {
    std::vector<std::byte> copy = base;
    StoreLe32(copy.data() + d.offset, d.value);
    WriteAll(bad, copy);
    Hive hive;
    if (hive.Open(bad.string(), false) == 0) {
      std::vector<std::string> names;
      // Either answer is right; neither may crash.
      static_cast<void>(hive.ChildNames(hive.Root(), names));
      std::vector<HiveValue> values;
      static_cast<void>(hive.ReadValues(hive.Find(hive.Root(), "MountedDevices"), values));
    }
  }
  // A root key whose offset points into the base block or past the file.
  for (const uint32_t root : {0u, 0x10u, 0x7FFFFFF0u}) {
    std::vector<std::byte> copy = base;
    StoreLe32(copy.data() + 0x24, root);
    StoreLe32(copy.data() + 0x1FC, HiveHeaderChecksum(copy));
    WriteAll(bad, copy);
    Hive hive;
    if (hive.Open(bad.string(), false) == 0) {
      std::vector<std::string> names;
      static_cast<void>(hive.ChildNames(hive.Root(), names));
    }
  }
}

}  // namespace
}  // namespace stow::bootrepair
