// stowline-cli ptable: lists a disk's partition table as the engine reads it.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Json.h"
#include "engine/disk/DiskPartitions.h"
#include "platform/BlockDevice.h"
#include "support/Enums.h"

namespace stow::cli {
namespace {

using engine::PartitionTableEntry;

constexpr uint8_t kActiveBootIndicator = 0x80;
// GPT attribute bit 2: the partition is bootable by a legacy BIOS.
constexpr uint64_t kGptLegacyBootableBit = uint64_t{1} << 2;

constexpr const char* kUsage =
    "Usage: stowline-cli ptable DISK [--json]\n"
    "\n"
    "Lists the partition table of DISK, a disk device or a disk image file:\n"
    "the primary entries of an MBR (empty ones included) and the logical entries\n"
    "of the EBR chain of its extended partition (type 0f, 05 or 85, which is not\n"
    "listed itself), or the used entries of a GPT. Sectors are 512 bytes.\n"
    "Result 0 means an MBR disk, 17 a GPT disk, 9 a disk without a partition\n"
    "table (sector 0 lacks the 0x55AA signature); the exit status is 0 for all\n"
    "three and 1 when the table cannot be read or is damaged.\n"
    "\n"
    "  --json   print the table as one JSON object\n"
    "  --help   show this text\n";

constexpr EnumLabel<engine::PartitionEntryKind> kEntryKindLabels[] = {
    {engine::kPrimaryEntry, "primary"},
    {engine::kLogicalEntry, "logical"},
    {engine::kGptEntry, "gpt"},
};

const char* KindName(engine::PartitionEntryKind kind) {
  return LabelOf(kEntryKindLabels, kind, "gpt");
}

// The disk layer's results that reading a partition table ends with.
constexpr EnumLabel<engine::DiskResult> kTableResultLabels[] = {
    {engine::DiskResult::kNoDevice, "no device"},
    {engine::DiskResult::kReadFailed, "reading the partition table failed"},
    {engine::DiskResult::kShortRead, "the disk is too short to hold a partition table"},
    {engine::DiskResult::kEbrShortRead, "an extended boot record could not be read whole"},
    {engine::DiskResult::kAllocationFailed, "out of memory for the GPT entry array"},
    {engine::DiskResult::kNoGptSignature,
     "the protective MBR announces a GPT, but sector 1 holds no GPT header"},
    {engine::DiskResult::kBadTable, "the partition table is damaged or hostile (see the log)"},
};

std::string TableResultText(engine::DiskResult result) {
  return LabelOf(kTableResultLabels, result, "unexpected result");
}

bool IsBootable(const PartitionTableEntry& e) {
  if (e.kind == engine::kGptEntry) return (e.attributes & kGptLegacyBootableBit) != 0;
  return e.BootIndicator() == kActiveBootIndicator;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// GPT names are UTF-16 from the disk; a broken surrogate pair becomes U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text) {
  constexpr uint32_t kReplacement = 0xFFFD;
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

std::string TypeText(const PartitionTableEntry& e) {
  if (e.kind == engine::kGptEntry) return engine::GuidToString(e.typeGuid);
  char text[4];
  std::snprintf(text, sizeof text, "%02x", e.Type());
  return text;
}

void PrintJsonEntry(size_t index, const PartitionTableEntry& e, bool last) {
  std::printf("    {\"index\": %zu, \"kind\": \"%s\", \"base\": %" PRIu64 ", \"start\": %" PRIu64
              ", \"length\": %" PRIu64 ", \"type\": %s",
              index, KindName(e.kind), e.baseSector, e.AbsoluteStart(), e.LengthSectors(),
              JsonString(TypeText(e)).c_str());
  if (e.kind == engine::kGptEntry) {
    std::printf(", \"uuid\": %s, \"name\": %s, \"attributes\": %" PRIu64,
                JsonString(engine::GuidToString(e.uniqueGuid)).c_str(),
                JsonString(Utf16ToUtf8(e.name)).c_str(), e.attributes);
  }
  std::printf(", \"bootable\": %s}%s\n", IsBootable(e) ? "true" : "false", last ? "" : ",");
}

const char* TableName(engine::DiskResult result) {
  if (result == engine::DiskResult::kIsGpt) return "gpt";
  return result == engine::DiskResult::kNoPartitionTable ? "none" : "mbr";
}

void PrintJson(const std::string& disk, engine::DiskResult result,
               const std::vector<PartitionTableEntry>& list) {
  std::printf("{\n  \"disk\": %s,\n  \"table\": \"%s\",\n  \"result\": %d,\n  \"entries\": [\n",
              JsonString(disk).c_str(), TableName(result), ToInt(result));
  for (size_t i = 0; i < list.size(); ++i) PrintJsonEntry(i, list[i], i + 1 == list.size());
  std::printf("  ]\n}\n");
}

void PrintText(const std::string& disk, engine::DiskResult result,
               const std::vector<PartitionTableEntry>& list) {
  if (result == engine::DiskResult::kNoPartitionTable) {
    std::printf("Disk %s: no partition table (sector 0 has no 0x55AA signature), result %d\n",
                disk.c_str(), ToInt(result));
    return;
  }
  const bool gpt = result == engine::DiskResult::kIsGpt;
  std::printf("Disk %s: %s, result %d, %zu entries\n\n", disk.c_str(), gpt ? "GPT" : "MBR",
              ToInt(result), list.size());
  std::printf("%3s %-8s %12s %12s %12s %-36s %4s", "#", "kind", "base", "start", "length", "type",
              "boot");
  if (gpt) std::printf(" %-36s %18s  %s", "unique GUID", "attributes", "name");
  std::printf("\n");
  for (size_t i = 0; i < list.size(); ++i) {
    const PartitionTableEntry& e = list[i];
    std::printf("%3zu %-8s %12" PRIu64 " %12" PRIu64 " %12" PRIu64 " %-36s %4s", i,
                KindName(e.kind), e.baseSector, e.AbsoluteStart(), e.LengthSectors(),
                TypeText(e).c_str(), IsBootable(e) ? "*" : "");
    if (gpt) {
      std::printf(" %-36s 0x%016" PRIx64 "  %s", engine::GuidToString(e.uniqueGuid).c_str(),
                  e.attributes, Utf16ToUtf8(e.name).c_str());
    }
    std::printf("\n");
  }
}

}  // namespace

int RunPtable(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  bool json = false;
  std::string disk;
  for (const auto& a : args) {
    if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("ptable", "unknown option '" + a + "'");
    } else if (disk.empty()) {
      disk = a;
    } else {
      return UsageError("ptable", "more than one DISK given: '" + a + "'");
    }
  }
  if (disk.empty()) {
    return UsageError("ptable", "no DISK given");
  }

  engine::DiskDevice device;
  if (device.OpenPhysicalDrivePath(disk, true) != engine::DiskResult::kOk) {
    return Fail(1, "ptable: cannot open " + disk + ": " +
                       platform::SystemErrorText(device.LastOpenError()));
  }
  std::vector<PartitionTableEntry> entries;
  const engine::DiskResult result = engine::ReadPartitionTable(device, entries);
  if (result != engine::DiskResult::kOk && result != engine::DiskResult::kIsGpt &&
      result != engine::DiskResult::kNoPartitionTable) {
    return Fail(1, "ptable: " + disk + ": " + TableResultText(result) + " (result " +
                       std::to_string(ToInt(result)) + ")");
  }
  if (json) {
    PrintJson(disk, result, entries);
  } else {
    PrintText(disk, result, entries);
  }
  return 0;
}

}  // namespace stow::cli
