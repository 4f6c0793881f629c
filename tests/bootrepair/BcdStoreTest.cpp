// The BCD store editor: partition device data byte for byte against the
// published layout, stores made and edited here and read back by hivexget.
#include "bootrepair/BcdStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "bootrepair/HiveBuilder.h"
#include "tests/testlib/TestUtil.h"

namespace stow::bootrepair {
namespace {

namespace fs = std::filesystem;

using test::Quote;
using test::Shell;
using test::TempDir;

std::vector<std::byte> FromInts(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (const int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

// The element bytes as hivexget prints them (raw data for binary values), in hex.
std::string HivexgetHex(const fs::path& store, const std::string& key, const std::string& value) {
  return Shell("hivexget " + Quote(store.string()) + " " + Quote(key) + " " + Quote(value) +
               " | od -An -tx1 -v | tr -d ' \\n'")
      .output;
}

std::string Hex(const std::vector<std::byte>& data) {
  std::string out;
  char byte[3];
  for (const std::byte b : data) {
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned>(b));
    out += byte;
  }
  return out;
}

const engine::Guid kDiskGuid = {0x06, 0xa7, 0x69, 0x7c, 0xa5, 0xed, 0xdd, 0x11,
                                0xbc, 0x09, 0x00, 0x1e, 0x4c, 0xe2, 0x8b, 0x8f};
const engine::Guid kPartGuid = {0xbf, 0x52, 0xfb, 0x6e, 0x66, 0x17, 0xdb, 0x41,
                                0xa6, 0xb3, 0x0e, 0xe5, 0xef, 0xf7, 0x2b, 0xd7};

PartitionLocation MbrLocation(uint32_t signature, uint64_t offset) {
  PartitionLocation l;
  l.style = platform::kStyleMbr;
  l.mbrSignature = signature;
  l.byteOffset = offset;
  return l;
}

PartitionLocation GptLocation() {
  PartitionLocation l;
  l.style = platform::kStyleGpt;
  l.diskGuid = kDiskGuid;
  l.partitionGuid = kPartGuid;
  l.byteOffset = 0x100000;
  return l;
}

TEST(BcdDevice, MbrPartitionMatchesThePublishedExample) {
  // A loader's "partition=C:" on an MBR disk with signature 0xb3eba8f1, the
  // partition at byte 0x15f00000, as the public BCD documentation lists it.
  const std::vector<std::byte> expected = FromInts({
      0, 0, 0,    0,    0, 0, 0, 0, 0,    0,    0,    0,    0, 0, 0, 0,  // +0x00
      6, 0, 0,    0,    0, 0, 0, 0, 0x48, 0,    0,    0,    0, 0, 0, 0,  // +0x10
      0, 0, 0xf0, 0x15, 0, 0, 0, 0, 0,    0,    0,    0,    0, 0, 0, 0,  // +0x20
      0, 0, 0,    0,    1, 0, 0, 0, 0xf1, 0xa8, 0xeb, 0xb3, 0, 0, 0, 0,  // +0x30
      0, 0, 0,    0,    0, 0, 0, 0, 0,    0,    0,    0,    0, 0, 0, 0,  // +0x40
      0, 0, 0,    0,    0, 0, 0, 0,                                      // +0x50
  });
  EXPECT_EQ(PartitionDeviceElement(MbrLocation(0xb3eba8f1, 0x15f00000)), expected);
}

TEST(BcdDevice, GptPartitionCarriesBothGuidsAsStored) {
  const std::vector<std::byte> data = PartitionDeviceElement(GptLocation());
  ASSERT_EQ(data.size(), 88u);
  const ByteView v(data.data(), data.size());
  EXPECT_EQ(v.U32(0x10), 6u);
  EXPECT_EQ(v.U32(0x18), 0x48u);
  EXPECT_TRUE(v.Equals(0x20, kPartGuid.data(), 16));
  EXPECT_EQ(v.U32(0x34), 0u) << "GPT style";
  EXPECT_TRUE(v.Equals(0x38, kDiskGuid.data(), 16));
  for (const size_t zero : {0x00, 0x08, 0x14, 0x1C, 0x30, 0x48, 0x50}) {
    EXPECT_EQ(v.U32(zero), 0u) << zero;
  }
  PartitionLocation raw;
  EXPECT_TRUE(PartitionDeviceElement(raw).empty());
}

TEST(BcdDevice, NamesAndIdentifiers) {
  EXPECT_EQ(ElementKeyName(kElementDevice), "11000001");
  EXPECT_EQ(ElementKeyName(0x250000c2), "250000c2");
  EXPECT_TRUE(IsObjectId(kLoaderObjectId));
  EXPECT_TRUE(IsObjectId("{0C425A6E-94DB-49DD-933A-35C71E20CBCD}"));
  EXPECT_FALSE(IsObjectId("0c425a6e-94db-49dd-933a-35c71e20cbcd"));
  EXPECT_FALSE(IsObjectId("{0c425a6e-94db-49dd-933a-35c71e20cbcg}"));
  EXPECT_FALSE(IsObjectId("{0c425a6e-94db-49dd-933a35c71e20cbcd0}"));
  EXPECT_FALSE(IsObjectId("{..\\..\\Objects}"));
}

class BcdStoreFile : public ::testing::Test {
 protected:
  void SetUp() override {
    STOW_REQUIRE(std::vector<std::string>({"hivexget", "hivexsh"}), false, false);
    store_ = dir_ / "BCD";
  }
  void MakeTemplate(bool uefi) {
    BcdStore store;
    ASSERT_EQ(store.Create(store_.string()), kBcdOk);
    ASSERT_EQ(AddBootManager(store, uefi), kBcdOk);
    ASSERT_EQ(AddWindowsLoader(store, uefi), kBcdOk);
    ASSERT_EQ(store.Commit(), kBcdOk);
  }
  static std::string ElementKey(const char* object, uint32_t element) {
    return std::string("Objects\\") + object + "\\Elements\\" + ElementKeyName(element);
  }
  TempDir dir_;
  fs::path store_;
};

TEST_F(BcdStoreFile, TemplatesHoldTheLoaderObjectAndTheBootManager) {
  MakeTemplate(true);
  EXPECT_EQ(Shell("hivexget " + Quote(store_.string()) + " 'Description' KeyName").output,
            "BCD00000000\n");
  EXPECT_EQ(Shell("hivexget " + Quote(store_.string()) + " " +
                  Quote(std::string("Objects\\") + kLoaderObjectId + "\\Description") + " Type")
                .output,
            std::to_string(0x10200003) + "\n");
  EXPECT_EQ(Shell("hivexget " + Quote(store_.string()) + " " +
                  Quote(ElementKey(kLoaderObjectId, kElementPath)) + " Element")
                .output,
            "\\Windows\\system32\\winload.efi\n");
  EXPECT_EQ(Shell("hivexget " + Quote(store_.string()) + " " +
                  Quote(ElementKey(kBootManagerObjectId, kElementDefault)) + " Element")
                .output,
            std::string(kLoaderObjectId) + "\n");
  EXPECT_EQ(HivexgetHex(store_, ElementKey(kBootManagerObjectId, kElementTimeout), "Element"),
            "1e00000000000000");
  EXPECT_EQ(HivexgetHex(store_, ElementKey(kLoaderObjectId, kElementDevice), "Element"),
            Hex(BootDeviceElement()));
}

TEST_F(BcdStoreFile, SetStoreDeviceWritesBothElementsForMbrAndGpt) {
  MakeTemplate(false);
  const PartitionLocation mbr = MbrLocation(0x5713e001, 0x2100000);
  ASSERT_EQ(SetStoreDevice(store_.string(), mbr), kBcdOk);
  const std::string mbrHex = Hex(PartitionDeviceElement(mbr));
  EXPECT_EQ(HivexgetHex(store_, ElementKey(kLoaderObjectId, kElementDevice), "Element"), mbrHex);
  EXPECT_EQ(HivexgetHex(store_, ElementKey(kLoaderObjectId, kElementOsDevice), "Element"), mbrHex);
  // The value type is REG_BINARY, as the device format calls for.
  const auto lsval =
      Shell("printf 'cd " + std::string("Objects\\\\") + kLoaderObjectId +
            "\\\\Elements\\\\11000001\\nlsval\\n' | hivexsh " + Quote(store_.string()));
  EXPECT_NE(lsval.output.find("\"Element\"=hex(3):"), std::string::npos) << lsval.output;
  // The boot manager's own device is left alone.
  EXPECT_EQ(HivexgetHex(store_, ElementKey(kBootManagerObjectId, kElementDevice), "Element"),
            Hex(BootDeviceElement()));

  ASSERT_EQ(SetStoreDevice(store_.string(), GptLocation()), kBcdOk);
  const std::string gptHex = Hex(PartitionDeviceElement(GptLocation()));
  EXPECT_EQ(HivexgetHex(store_, ElementKey(kLoaderObjectId, kElementDevice), "Element"), gptHex);
  EXPECT_EQ(HivexgetHex(store_, ElementKey(kLoaderObjectId, kElementOsDevice), "Element"), gptHex);
}

TEST_F(BcdStoreFile, EveryStoreOfTheListIsSetInOrder) {
  MakeTemplate(false);
  const fs::path second = dir_ / "EFI" / "BCD";
  fs::create_directories(second.parent_path());
  fs::copy_file(store_, second);
  const PartitionLocation mbr = MbrLocation(0x11223344, 0x100000);
  EXPECT_TRUE(SetBcdDevice(store_.string() + "||" + second.string() + "|", mbr));
  for (const fs::path& p : {store_, second}) {
    EXPECT_EQ(HivexgetHex(p, ElementKey(kLoaderObjectId, kElementOsDevice), "Element"),
              Hex(PartitionDeviceElement(mbr)))
        << p;
  }
}

TEST_F(BcdStoreFile, AStoreThatCannotBeSetFailsTheListButNotTheStoresAfterIt) {
  MakeTemplate(false);
  const fs::path second = dir_ / "EFI" / "BCD";
  fs::create_directories(second.parent_path());
  fs::copy_file(store_, second);
  const PartitionLocation mbr = MbrLocation(0x11223344, 0x100000);
  EXPECT_FALSE(SetBcdDevice((dir_ / "absent").string() + "|" + second.string(), mbr));
  EXPECT_EQ(HivexgetHex(second, ElementKey(kLoaderObjectId, kElementOsDevice), "Element"),
            Hex(PartitionDeviceElement(mbr)));
  EXPECT_TRUE(SetBcdDevice("", mbr)) << "no store, nothing left pointing elsewhere";
  // A destination that is no partition of a disk touches no store.
  EXPECT_TRUE(SetBcdDevice("||", platform::VolumeId((dir_ / "not-a-partition").string())));
  EXPECT_FALSE(
      SetBcdDevice(second.string(), platform::VolumeId((dir_ / "not-a-partition").string())));
}

TEST_F(BcdStoreFile, StoresThatAreNoStoresAreRefused) {
  const PartitionLocation mbr = MbrLocation(1, 0x100000);
  EXPECT_EQ(SetStoreDevice((dir_ / "absent").string(), mbr), kBcdOpenFailed);
  {
    std::ofstream out(store_, std::ios::binary);
    out << "not a hive at all";
  }
  EXPECT_EQ(SetStoreDevice(store_.string(), mbr), kBcdOpenFailed);
  ASSERT_EQ(CreateEmptyHive(store_.string(), "ROOT"), 0);
  EXPECT_EQ(SetStoreDevice(store_.string(), mbr), kBcdNotAStore);
  BcdStore store;
  ASSERT_EQ(store.Create(store_.string()), kBcdOk);
  EXPECT_EQ(SetStoreDevice(store_.string(), mbr), kBcdNoObject) << "no loader object";
  EXPECT_EQ(SetStoreDevice(store_.string(), PartitionLocation{}), kBcdBadArgument);
  EXPECT_EQ(store.AddObject("{not-an-id}", kObjectTypeOsLoader), kBcdBadArgument);
  HiveValue value;
  EXPECT_EQ(store.GetElement(kLoaderObjectId, kElementDevice, value), kBcdNoObject);
  ASSERT_EQ(store.AddObject(kLoaderObjectId, kObjectTypeOsLoader), kBcdOk);
  EXPECT_EQ(store.GetElement(kLoaderObjectId, kElementDevice, value), kBcdNoElement);
  // A truncated store.
  std::error_code ec;
  fs::resize_file(store_, 0x1800, ec);
  ASSERT_FALSE(ec);
  EXPECT_EQ(SetStoreDevice(store_.string(), mbr), kBcdOpenFailed);
}

TEST_F(BcdStoreFile, NoKeyIsAddedBesideASiblingThatCannotBeRead) {
  // A store whose loader lacks osdevice and whose "12000004" element key has a
  // name length running past its cell: the search for "21000001" cannot rule it
  // out, so the editor must not add a second key that may shadow the first.
  BcdStore store;
  ASSERT_EQ(store.Create(store_.string()), kBcdOk);
  ASSERT_EQ(store.AddObject(kLoaderObjectId, kObjectTypeOsLoader), kBcdOk);
  ASSERT_EQ(store.SetElement(kLoaderObjectId, kElementDevice, BootDeviceElement()), kBcdOk);
  ASSERT_EQ(store.SetStringElement(kLoaderObjectId, kElementPath, "x"), kBcdOk);
  ASSERT_EQ(store.SetStringElement(kLoaderObjectId, kElementDescription, "x"), kBcdOk);
  ASSERT_EQ(store.Commit(), kBcdOk);
  std::vector<char> bytes;
  {
    std::ifstream in(store_, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::string name = ElementKeyName(kElementDescription);
  const auto at = std::search(bytes.begin(), bytes.end(), name.begin(), name.end());
  ASSERT_NE(at, bytes.end());
  const size_t nameLength = static_cast<size_t>(at - bytes.begin()) - 4;  // nk +0x4C
  bytes[nameLength] = '\xff';
  bytes[nameLength + 1] = '\x7f';
  {
    std::ofstream out(store_, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  EXPECT_NE(SetStoreDevice(store_.string(), MbrLocation(1, 0x100000)), kBcdOk);
  BcdStore reopened;
  ASSERT_EQ(reopened.Open(store_.string(), false), kBcdOk);
  HiveValue value;
  EXPECT_NE(reopened.GetElement(kLoaderObjectId, kElementOsDevice, value), kBcdOk);
}

}  // namespace
}  // namespace stow::bootrepair
