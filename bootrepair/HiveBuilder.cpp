#include "bootrepair/HiveBuilder.h"

#include <array>
#include <cerrno>
#include <cstdio>

namespace stow::bootrepair {
namespace {

// Base block fields.
constexpr uint32_t kRegfSignature = 0x66676572;  // "regf"
constexpr size_t kBasePrimarySequence = 0x04;
constexpr size_t kBaseSecondarySequence = 0x08;
constexpr size_t kBaseMajorVersion = 0x14;
constexpr size_t kBaseMinorVersion = 0x18;
constexpr size_t kBaseFileType = 0x1C;
constexpr size_t kBaseFileFormat = 0x20;
constexpr size_t kBaseRootCell = 0x24;
constexpr size_t kBaseBinsSize = 0x28;
constexpr size_t kBaseClustering = 0x2C;
constexpr uint32_t kMajorVersion = 1;
// Minor version 5: the format that allows the hashed subkey lists ("lh") the
// editor writes.
constexpr uint32_t kMinorVersion = 5;
constexpr uint32_t kPrimaryFile = 0;
constexpr uint32_t kDirectMemoryLoad = 1;
constexpr uint32_t kClusteringFactor = 1;
constexpr size_t kChecksummedDwords = kHiveChecksumOffset / 4;

// Bin header.
constexpr uint32_t kHbinSignature = 0x6E696268;  // "hbin"
constexpr size_t kBinOffsetField = 0x04;
constexpr size_t kBinSizeField = 0x08;
constexpr size_t kBinHeaderSize = 0x20;

// Cells: a signed 32-bit size first (negative while allocated), 8-byte aligned.
constexpr size_t kCellAlignment = 8;
constexpr uint32_t kNoCell = 0xFFFFFFFF;

// Key node ("nk") fields, from the cell's start.
constexpr uint16_t kNkSignature = 0x6B6E;  // "nk"
constexpr size_t kNkFlags = 0x06;
constexpr size_t kNkParent = 0x14;
constexpr size_t kNkSubkeyList = 0x20;
constexpr size_t kNkVolatileSubkeyList = 0x24;
constexpr size_t kNkValueList = 0x2C;
constexpr size_t kNkSecurity = 0x30;
constexpr size_t kNkClass = 0x34;
constexpr size_t kNkNameLength = 0x4C;
constexpr size_t kNkName = 0x50;
constexpr uint16_t kKeyHiveEntry = 0x0004;
constexpr uint16_t kKeyNoDelete = 0x0008;
constexpr uint16_t kKeyCompressedName = 0x0020;  // the name is stored as 8-bit text

// Security ("sk") fields.
constexpr uint16_t kSkSignature = 0x6B73;  // "sk"
constexpr size_t kSkFlink = 0x08;
constexpr size_t kSkBlink = 0x0C;
constexpr size_t kSkReferences = 0x10;
constexpr size_t kSkDescriptorSize = 0x14;
constexpr size_t kSkDescriptor = 0x18;

// A self-relative security descriptor: owner Administrators, group SYSTEM,
// a DACL that gives Administrators and SYSTEM full control and Everyone read
// access, each inherited by subkeys.
constexpr uint32_t kKeyAllAccess = 0x000F003F;
constexpr uint32_t kKeyRead = 0x00020019;
constexpr uint8_t kContainerInheritAce = 0x02;
constexpr uint16_t kSelfRelativeDaclPresent = 0x8004;

using Sid = std::vector<uint8_t>;
const Sid kSidAdministrators = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
const Sid kSidSystem = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
const Sid kSidEveryone = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

void Put16(std::vector<std::byte>& out, uint16_t v) {
  std::array<std::byte, 2> b{};
  StoreLe16(b.data(), v);
  out.insert(out.end(), b.begin(), b.end());
}
void Put32(std::vector<std::byte>& out, uint32_t v) {
  std::array<std::byte, 4> b{};
  StoreLe32(b.data(), v);
  out.insert(out.end(), b.begin(), b.end());
}
void PutBytes(std::vector<std::byte>& out, const std::vector<uint8_t>& bytes) {
  for (const uint8_t b : bytes) out.push_back(static_cast<std::byte>(b));
}

void PutAllowedAce(std::vector<std::byte>& out, uint32_t mask, const Sid& sid) {
  out.push_back(std::byte{0});  // ACCESS_ALLOWED_ACE_TYPE
  out.push_back(static_cast<std::byte>(kContainerInheritAce));
  Put16(out, static_cast<uint16_t>(8 + sid.size()));
  Put32(out, mask);
  PutBytes(out, sid);
}

std::vector<std::byte> SecurityDescriptor() {
  std::vector<std::byte> aces;
  PutAllowedAce(aces, kKeyAllAccess, kSidAdministrators);
  PutAllowedAce(aces, kKeyAllAccess, kSidSystem);
  PutAllowedAce(aces, kKeyRead, kSidEveryone);
  constexpr uint32_t kHeaderSize = 20;
  constexpr uint32_t kAclHeaderSize = 8;
  const auto aclSize = static_cast<uint32_t>(kAclHeaderSize + aces.size());
  const uint32_t ownerOffset = kHeaderSize + aclSize;
  const auto groupOffset = static_cast<uint32_t>(ownerOffset + kSidAdministrators.size());

  std::vector<std::byte> sd;
  sd.push_back(std::byte{1});  // revision
  sd.push_back(std::byte{0});
  Put16(sd, kSelfRelativeDaclPresent);
  Put32(sd, ownerOffset);
  Put32(sd, groupOffset);
  Put32(sd, 0);  // no SACL
  Put32(sd, kHeaderSize);
  sd.push_back(std::byte{2});  // ACL revision
  sd.push_back(std::byte{0});
  Put16(sd, static_cast<uint16_t>(aclSize));
  Put16(sd, 3);  // ACE count
  Put16(sd, 0);
  sd.insert(sd.end(), aces.begin(), aces.end());
  PutBytes(sd, kSidAdministrators);
  PutBytes(sd, kSidSystem);
  return sd;
}

constexpr size_t AlignCell(size_t size) {
  return (size + kCellAlignment - 1) / kCellAlignment * kCellAlignment;
}

void StoreCellSize(std::byte* cell, size_t size, bool allocated) {
  const auto value = static_cast<int32_t>(size);
  StoreLe32(cell, static_cast<uint32_t>(allocated ? -value : value));
}

void WriteBaseBlock(std::byte* base) {
  StoreLe32(base, kRegfSignature);
  StoreLe32(base + kBasePrimarySequence, 1);
  StoreLe32(base + kBaseSecondarySequence, 1);
  StoreLe32(base + kBaseMajorVersion, kMajorVersion);
  StoreLe32(base + kBaseMinorVersion, kMinorVersion);
  StoreLe32(base + kBaseFileType, kPrimaryFile);
  StoreLe32(base + kBaseFileFormat, kDirectMemoryLoad);
  StoreLe32(base + kBaseRootCell, kBinHeaderSize);
  StoreLe32(base + kBaseBinsSize, static_cast<uint32_t>(kHiveBinSize));
  StoreLe32(base + kBaseClustering, kClusteringFactor);
  StoreLe32(base + kHiveChecksumOffset, HiveHeaderChecksum(Bytes(base, kHiveBaseBlockSize)));
}

// Writes the root key at bin offset `at`; returns its cell size.
size_t WriteRootKey(std::byte* bin, size_t at, std::string_view name, uint32_t securityCell) {
  const size_t size = AlignCell(kNkName + name.size());
  std::byte* nk = bin + at;
  StoreCellSize(nk, size, true);
  StoreLe16(nk + 4, kNkSignature);
  StoreLe16(nk + kNkFlags, kKeyHiveEntry | kKeyNoDelete | kKeyCompressedName);
  StoreLe32(nk + kNkParent, kNoCell);
  StoreLe32(nk + kNkSubkeyList, kNoCell);
  StoreLe32(nk + kNkVolatileSubkeyList, kNoCell);
  StoreLe32(nk + kNkValueList, kNoCell);
  StoreLe32(nk + kNkSecurity, securityCell);
  StoreLe32(nk + kNkClass, kNoCell);
  StoreLe16(nk + kNkNameLength, static_cast<uint16_t>(name.size()));
  for (size_t i = 0; i < name.size(); ++i) nk[kNkName + i] = static_cast<std::byte>(name[i]);
  return size;
}

// Writes the security cell at bin offset `at`, linked to itself; returns its size.
size_t WriteSecurityCell(std::byte* bin, size_t at, const std::vector<std::byte>& descriptor) {
  const size_t size = AlignCell(kSkDescriptor + descriptor.size());
  std::byte* sk = bin + at;
  StoreCellSize(sk, size, true);
  StoreLe16(sk + 4, kSkSignature);
  StoreLe32(sk + kSkFlink, static_cast<uint32_t>(at));
  StoreLe32(sk + kSkBlink, static_cast<uint32_t>(at));
  StoreLe32(sk + kSkReferences, 1);
  StoreLe32(sk + kSkDescriptorSize, static_cast<uint32_t>(descriptor.size()));
  for (size_t i = 0; i < descriptor.size(); ++i) sk[kSkDescriptor + i] = descriptor[i];
  return size;
}

bool RootNameAllowed(std::string_view name) {
  if (name.empty() || name.size() > kHiveMaxRootNameLength) return false;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E || c == '\\') return false;
  }
  return true;
}

}  // namespace

uint32_t HiveHeaderChecksum(Bytes baseBlock) {
  if (baseBlock.size() < kHiveChecksumOffset) return 0;
  uint32_t sum = 0;
  for (size_t i = 0; i < kChecksummedDwords; ++i) sum ^= LoadLe32(baseBlock.data() + 4 * i);
  if (sum == 0) return 1;
  if (sum == 0xFFFFFFFF) return 0xFFFFFFFE;
  return sum;
}

std::vector<std::byte> BuildEmptyHive(std::string_view rootName) {
  if (!RootNameAllowed(rootName)) return {};
  std::vector<std::byte> hive(kHiveBaseBlockSize + kHiveBinSize, std::byte{0});
  std::byte* bin = hive.data() + kHiveBaseBlockSize;
  StoreLe32(bin, kHbinSignature);
  StoreLe32(bin + kBinOffsetField, 0);
  StoreLe32(bin + kBinSizeField, static_cast<uint32_t>(kHiveBinSize));

  const std::vector<std::byte> descriptor = SecurityDescriptor();
  const size_t rootAt = kBinHeaderSize;
  const size_t securityAt = rootAt + AlignCell(kNkName + rootName.size());
  WriteRootKey(bin, rootAt, rootName, static_cast<uint32_t>(securityAt));
  const size_t freeAt = securityAt + WriteSecurityCell(bin, securityAt, descriptor);
  // The rest of the bin is one free cell, so that the bin is covered by cells.
  StoreCellSize(bin + freeAt, kHiveBinSize - freeAt, false);

  WriteBaseBlock(hive.data());
  return hive;
}

int CreateEmptyHive(const std::string& path, std::string_view rootName) {
  const std::vector<std::byte> hive = BuildEmptyHive(rootName);
  if (hive.empty()) return EINVAL;
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return errno != 0 ? errno : EIO;
  int error = 0;
  if (std::fwrite(hive.data(), 1, hive.size(), file) != hive.size())
    error = errno != 0 ? errno : EIO;
  if (std::fclose(file) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  return error;
}

}  // namespace stow::bootrepair
