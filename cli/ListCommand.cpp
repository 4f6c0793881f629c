// stowline-cli list: the volumes of the machine's fixed disks as the pages list them.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "cli/Commands.h"
#include "cli/Json.h"
#include "discovery/Inventory.h"
#include "discovery/PartitionListModel.h"
#include "support/Enums.h"

namespace stow::cli {
namespace {

using discovery::PartitionInfo;
using discovery::PartitionRowView;

constexpr const char* kUsage =
    "Usage: stowline-cli list [--json]\n"
    "\n"
    "Lists the volumes of the machine's fixed disks (removable media and optical\n"
    "drives left out) with the five columns of the program's partition list:\n"
    "disk (\"HD n\", or \"Dynamic\" for a volume on no single disk), mount path or\n"
    "device, total size, free size and file system; then the device, mount point,\n"
    "partition number, start sector (in the disk's sectors), NTFS cluster size,\n"
    "partition style (0 MBR, 1 GPT, 2 RAW, negative when unknown), MBR kind\n"
    "(1 primary, 2 logical), GPT FAT flag (1 the disk has a FAT volume, 2 it has\n"
    "none) and system flag (1 for the volume that holds \"/\"). Needs root to read\n"
    "the devices.\n"
    "\n"
    "  --json   print the list as one JSON object\n"
    "  --help   show this text\n";

void PrintJsonVolume(const PartitionInfo& r, const PartitionRowView& row, bool last) {
  std::printf(
      "    {\"hd\": %s, \"name\": %s, \"totalSize\": %s, \"freeSize\": %s, "
      "\"fileSystem\": %s,\n",
      JsonString(row.hdNumber).c_str(), JsonString(row.name).c_str(),
      JsonString(row.totalSize).c_str(), JsonString(row.freeSize).c_str(),
      JsonString(row.fileSystem).c_str());
  std::printf("     \"device\": %s, \"mountPoint\": %s, \"label\": %s, \"serial\": %" PRIu32
              ", \"diskNumber\": %" PRId32 ", \"partitionNumber\": %" PRIu32 ",\n",
              JsonString(r.Volume().DevicePath()).c_str(), JsonString(r.mountPath).c_str(),
              JsonString(r.volumeLabel).c_str(), r.serialNumber, r.diskNumber, r.partitionNumber);
  std::printf(
      "     \"startSector\": %" PRIu64 ", \"clusterSize\": %" PRIu32 ", \"totalBytes\": %" PRIu64
      ", \"freeBytes\": %" PRIu64 ", \"freeBytesAvailable\": %" PRIu64 ",\n",
      r.startSector, r.bytesPerCluster, r.totalBytes, r.totalFreeBytes, r.freeBytesAvailable);
  std::printf("     \"style\": %" PRId32 ", \"mbrKind\": %u, \"gptFat\": %u, \"system\": %u}%s\n",
              ToInt(r.partitionStyle), unsigned{r.mbrKind}, unsigned{r.gptFatFlag},
              unsigned{r.systemVolume}, last ? "" : ",");
}

void PrintJson(const discovery::CPartitionListViewAdapter& model) {
  std::printf("{\n  \"volumes\": [\n");
  for (int i = 0; i < model.GetCount(); ++i) {
    PrintJsonVolume(model.Rows()[static_cast<size_t>(i)], model.BindRow(i),
                    i + 1 == model.GetCount());
  }
  std::printf("  ]\n}\n");
}

void PrintText(const discovery::CPartitionListViewAdapter& model) {
  std::printf("%-9s %-20s %12s %12s %-6s %-20s %4s %12s %7s %5s %3s %3s %3s\n", "HD No", "Drive",
              "Total Size", "Free Size", "FS", "Device", "Part", "Start", "Cluster", "Style", "MBR",
              "FAT", "Sys");
  for (int i = 0; i < model.GetCount(); ++i) {
    const PartitionInfo& r = model.Rows()[static_cast<size_t>(i)];
    const PartitionRowView row = model.BindRow(i);
    std::printf("%-9s %-20s %12s %12s %-6s %-20s %4" PRIu32 " %12" PRIu64 " %7" PRIu32 " %5" PRId32
                " %3u %3u %3u\n",
                row.hdNumber.c_str(), row.name.c_str(), row.totalSize.c_str(), row.freeSize.c_str(),
                row.fileSystem.c_str(), r.Volume().DevicePath().c_str(), r.partitionNumber,
                r.startSector, r.bytesPerCluster, ToInt(r.partitionStyle), unsigned{r.mbrKind},
                unsigned{r.gptFatFlag}, unsigned{r.systemVolume});
  }
}

}  // namespace

int RunList(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  bool json = false;
  for (const auto& a : args) {
    if (a == "--json") {
      json = true;
    } else {
      return UsageError("list", "unexpected argument '" + a + "'");
    }
  }
  discovery::PartitionList list;
  discovery::RefreshPartitionList(list);
  discovery::CPartitionListViewAdapter model;
  model.SetRows(list, true);
  if (json) {
    PrintJson(model);
  } else {
    PrintText(model);
  }
  return 0;
}

}  // namespace stow::cli
