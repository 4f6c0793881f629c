// stowline-cli info: the metadata summary of an NTFS volume as the engine reads
// it, and how long the walk over its MFT took.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "cli/Commands.h"
#include "cli/Json.h"
#include "engine/disk/Disk.h"
#include "platform/BlockDevice.h"
#include "platform/VolumeId.h"

namespace stow::cli {
namespace {

constexpr const char* kUsage =
    "Usage: stowline-cli info VOLUME [--json]\n"
    "\n"
    "Reads the boot sector and the Master File Table of VOLUME, an NTFS volume\n"
    "(a device or an image file), without writing to it, and prints its geometry,\n"
    "the $MFT and $MFTMirr clusters, the file record size and count, and the\n"
    "entries and used sectors (512 bytes) of a walk over every file record that\n"
    "keeps the non-resident attributes, with the time the walk took.\n"
    "\n"
    "  --json   print the summary as one JSON object\n"
    "  --help   show this text\n";

struct Summary {
  std::string volume;
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t clusterSize = 0;
  uint64_t volumeSectors = 0;
  uint64_t volumeSize = 0;
  uint64_t volumeClusters = 0;
  uint64_t mftCluster = 0;
  uint64_t mftMirrCluster = 0;
  uint32_t fileRecordSize = 0;
  uint64_t recordCount = 0;
  uint64_t recordsVisited = 0;
  uint64_t entries = 0;
  uint64_t usedSectors = 0;
  double walkMilliseconds = 0;
};

void PrintJson(const Summary& s) {
  std::printf("{\n  \"volume\": %s,\n", JsonString(s.volume).c_str());
  std::printf("  \"bytes_per_sector\": %u,\n  \"sectors_per_cluster\": %u,\n", s.bytesPerSector,
              s.sectorsPerCluster);
  std::printf("  \"cluster_size\": %u,\n  \"volume_sectors\": %" PRIu64 ",\n", s.clusterSize,
              s.volumeSectors);
  std::printf("  \"volume_size\": %" PRIu64 ",\n  \"volume_clusters\": %" PRIu64 ",\n",
              s.volumeSize, s.volumeClusters);
  std::printf("  \"mft_cluster\": %" PRIu64 ",\n  \"mftmirr_cluster\": %" PRIu64 ",\n",
              s.mftCluster, s.mftMirrCluster);
  std::printf("  \"file_record_size\": %u,\n  \"record_count\": %" PRIu64 ",\n", s.fileRecordSize,
              s.recordCount);
  std::printf("  \"records_visited\": %" PRIu64 ",\n  \"entries\": %" PRIu64 ",\n",
              s.recordsVisited, s.entries);
  std::printf("  \"used_sectors\": %" PRIu64 ",\n  \"walk_ms\": %.3f\n}\n", s.usedSectors,
              s.walkMilliseconds);
}

void PrintText(const Summary& s) {
  std::printf("Volume %s\n", s.volume.c_str());
  std::printf("  Bytes per sector:     %u\n", s.bytesPerSector);
  std::printf("  Sectors per cluster:  %u\n", s.sectorsPerCluster);
  std::printf("  Cluster size:         %u bytes\n", s.clusterSize);
  std::printf("  Volume size:          %" PRIu64 " bytes (%" PRIu64 " sectors, %" PRIu64
              " clusters)\n",
              s.volumeSize, s.volumeSectors, s.volumeClusters);
  std::printf("  $MFT cluster:         %" PRIu64 "\n", s.mftCluster);
  std::printf("  $MFTMirr cluster:     %" PRIu64 "\n", s.mftMirrCluster);
  std::printf("  File record size:     %u bytes\n", s.fileRecordSize);
  std::printf("  File records:         %" PRIu64 "\n", s.recordCount);
  std::printf("  Records visited:      %" PRIu64 "\n", s.recordsVisited);
  std::printf("  Entries (non-resident attributes): %" PRIu64 "\n", s.entries);
  std::printf("  Used sectors:         %" PRIu64 " (%" PRIu64 " bytes)\n", s.usedSectors,
              s.usedSectors * 512);
  std::printf("  Walk time:            %.1f ms\n", s.walkMilliseconds);
}

bool ParseArgs(const Args& args, std::string& volume, bool& json, int& status) {
  for (const auto& a : args) {
    if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] == '-') {
      status = UsageError("info", "unknown option '" + a + "'");
      return false;
    } else if (volume.empty()) {
      volume = a;
    } else {
      status = UsageError("info", "more than one VOLUME given: '" + a + "'");
      return false;
    }
  }
  if (volume.empty()) {
    status = UsageError("info", "no VOLUME given");
    return false;
  }
  return true;
}

}  // namespace

int RunInfo(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Summary s;
  bool json = false;
  int status = 0;
  if (!ParseArgs(args, s.volume, json, status)) return status;

  engine::CDisk disk;
  if (disk.InitDisk(platform::VolumeId(s.volume), true) != engine::DiskResult::kOk) {
    return Fail(1, "info: cannot open " + s.volume + ": " +
                       platform::SystemErrorText(disk.Device().LastOpenError()));
  }
  std::string why;
  if (disk.Mft().CheckNtfsVolume(&why) != engine::DiskResult::kOk) {
    return Fail(1, "info: " + s.volume + ": " + why);
  }
  s.bytesPerSector = disk.Device().BytesPerSector();
  s.sectorsPerCluster = disk.Device().SectorsPerCluster();
  s.clusterSize = disk.Device().ClusterSize();
  s.volumeSectors = disk.Device().TotalSectors();
  s.volumeSize = s.volumeSectors * s.bytesPerSector;
  s.volumeClusters = s.volumeSectors / s.sectorsPerCluster;
  s.mftCluster = disk.Device().MftCluster();
  s.mftMirrCluster = disk.Device().MftMirrCluster();

  if (!disk.Mft().LoadMftRecord()) {
    return Fail(1, "info: " + s.volume +
                       ": the $MFT's own record cannot be read, is damaged, or places the $MFT "
                       "outside the volume");
  }
  const auto start = std::chrono::steady_clock::now();
  s.recordsVisited = disk.Mft().BuildEntryList(s.usedSectors, true, 0);
  const auto stop = std::chrono::steady_clock::now();
  s.walkMilliseconds = std::chrono::duration<double, std::milli>(stop - start).count();
  s.fileRecordSize = disk.Mft().FileRecordSize();
  s.recordCount = disk.Mft().MftRecordCount();
  s.entries = disk.Mft().Entries().size();
  // A walk that read nothing, or not all of the $MFT, is no summary of the volume.
  if (s.recordsVisited == 0 || disk.Mft().UnreadRecords() != 0) {
    const std::string what = disk.Mft().UnreadRecords() != 0
                                 ? std::to_string(disk.Mft().UnreadRecords()) + " of its " +
                                       std::to_string(s.recordCount) + " file records"
                                 : "its file records";
    return Fail(1, "info: " + s.volume + ": the $MFT cannot be read (" + what +
                       "); check the volume (chkdsk /f in Windows) or the device first");
  }

  if (json) {
    PrintJson(s);
  } else {
    PrintText(s);
  }
  return 0;
}

}  // namespace stow::cli
