// Empty registry hive files of the program's own making.
//
// No tool on the build or target system creates a hive from nothing, and the
// hive library used for editing (libhivex) only edits existing files. So the
// program writes the smallest valid hive itself: a 4 KiB base block with its
// checksum and one 4 KiB bin holding the root key and the one security cell
// every key refers to. Keys and values are then added with the editor.
//
// Layout (offsets in the file; cell offsets count from the first bin, 0x1000):
//   0x0000 base block: "regf", both sequence numbers 1, version 1.3, primary
//          file, direct-load format, root cell offset 0x20, bins size 0x1000,
//          clustering factor 1, XOR checksum of the first 508 bytes at 0x1FC
//   0x1000 bin header: "hbin", offset 0, size 0x1000
//   0x1020 root key cell ("nk", flags hive entry | no delete | ASCII name)
//   ...    security cell ("sk", linked to itself, reference count 1)
//   ...    one free cell covering the rest of the bin
// The format is the one the public registry file format descriptions give
// (e.g. M. Suhanov's public description of the Windows registry file format; the libyal
// "Windows NT Registry File (REGF) format" document).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/Bytes.h"

namespace stow::bootrepair {

inline constexpr size_t kHiveBaseBlockSize = 0x1000;
inline constexpr size_t kHiveBinSize = 0x1000;
// The checksum covers the base block's first 508 bytes and is stored after them.
inline constexpr size_t kHiveChecksumOffset = 0x1FC;
// Key names are stored as ASCII in the cell; longer or non-ASCII root names are refused.
inline constexpr size_t kHiveMaxRootNameLength = 255;

// The XOR of the base block's first 127 little-endian dwords, with the two
// values the format reserves (0 and 0xFFFFFFFF) mapped to 1 and 0xFFFFFFFE.
// `baseBlock` must hold at least 508 bytes; a shorter one gives 0.
uint32_t HiveHeaderChecksum(Bytes baseBlock);

// The bytes of an empty hive whose root key is named `rootName` (ASCII, 1 to
// 255 characters). Empty when the name is refused.
std::vector<std::byte> BuildEmptyHive(std::string_view rootName);

// Writes an empty hive to `path`, creating or replacing the file: 0, or a
// system error (EINVAL for a refused root name).
[[nodiscard]] int CreateEmptyHive(const std::string& path, std::string_view rootName);

}  // namespace stow::bootrepair
