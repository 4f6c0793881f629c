#include "tests/testlib/DiskFixtures.h"

#include <algorithm>
#include <fstream>

namespace stow::test {
namespace {

constexpr uint64_t kAlignSectors = 2048;  // 1 MiB, as partitioning tools align
constexpr uint64_t kSectorsPerMiB = 1024 * 1024 / kFixtureSectorSize;
constexpr uint64_t kEfiMiB = 40;  // FAT32 needs 65,525 clusters; 512-byte clusters fit
constexpr const char* kMbrDiskId = "0x5713e001";
constexpr size_t kCopyChunk = 1024 * 1024;

// Copies `from` into `image` at `offset`, skipping all-zero chunks so that the
// image stays sparse.
bool CopyInto(const fs::path& from, const fs::path& image, uint64_t offset) {
  std::ifstream in(from, std::ios::binary);
  std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
  if (!in || !out) return false;
  std::vector<char> chunk(kCopyChunk);
  uint64_t done = 0;
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<size_t>(in.gcount());
    if (got == 0) break;
    if (std::any_of(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got),
                    [](char c) { return c != 0; })) {
      out.seekp(static_cast<std::streamoff>(offset + done));
      out.write(chunk.data(), static_cast<std::streamsize>(got));
      if (!out) return false;
    }
    done += got;
  }
  return static_cast<bool>(out);
}

// Makes the file system of `p` in a scratch file and places it in the image.
std::string FormatPartition(const fs::path& image, const FixturePartition& p) {
  const fs::path scratch = image.string() + ".part" + std::to_string(p.number);
  MakeSparseFile(scratch, p.sectors * kFixtureSectorSize);
  const std::string start = std::to_string(p.start);
  CommandResult r;
  if (p.fileSystem == "ntfs") {
    // The partition start goes into the boot sector's hidden-sectors field, as
    // mkntfs would find it on the partition's own device.
    r = Run({"mkntfs", "--force", "--fast", "--quiet", "--partition-start", start, "--heads", "255",
             "--sectors-per-track", "63", "--sector-size", "512", "--label", p.label,
             scratch.string()});
  } else if (p.fileSystem == "vfat") {
    r = Run({"mkfs.vfat", "-F", "32", "-s", "1", "-h", start, "-n", p.label, scratch.string()});
  } else {
    r.status = 0;
  }
  std::string error;
  if (r.status != 0) {
    error = "formatting partition " + std::to_string(p.number) + " failed: " + r.output;
  } else if (!CopyInto(scratch, image, p.start * kFixtureSectorSize)) {
    error = "placing partition " + std::to_string(p.number) + " into the image failed";
  }
  std::error_code ec;
  fs::remove(scratch, ec);
  return error;
}

std::string FormatAll(const DiskFixture& disk) {
  for (const FixturePartition& p : disk.partitions) {
    if (p.fileSystem.empty()) continue;
    const std::string error = FormatPartition(disk.image, p);
    if (!error.empty()) return error;
  }
  return {};
}

std::string SfdiskLine(const FixturePartition& p, const std::string& type, bool bootable) {
  return "start=" + std::to_string(p.start) + ", size=" + std::to_string(p.sectors) +
         ", type=" + type + (bootable ? ", bootable" : "") + "\n";
}

// Sizes and fixes the fixture's file, removing an earlier one of the same name.
DiskFixture StartFixture(const fs::path& dir, const DiskFixtureOptions& options,
                         const char* defaultName) {
  DiskFixture disk;
  disk.image = dir / (options.fileName.empty() ? defaultName : options.fileName);
  std::error_code ec;
  fs::remove(disk.image, ec);
  return disk;
}

void Finish(DiskFixture& disk, const DiskFixtureOptions& options, const CommandResult& table,
            const char* tool) {
  if (table.status != 0) {
    disk.error = std::string(tool) + " failed: " + table.output;
    return;
  }
  if (!options.format) {
    for (FixturePartition& p : disk.partitions) p.fileSystem.clear();
    return;
  }
  disk.error = FormatAll(disk);
}

}  // namespace

const FixturePartition* DiskFixture::Partition(int number) const {
  for (const FixturePartition& p : partitions) {
    if (p.number == number) return &p;
  }
  return nullptr;
}

std::vector<std::string> DiskFixtureTools() { return {"sfdisk", "sgdisk", "mkntfs", "mkfs.vfat"}; }

DiskFixture MakeMbrLogicalDisk(const fs::path& dir, const DiskFixtureOptions& options) {
  DiskFixture disk = StartFixture(dir, options, "mbr-logical.img");
  const uint64_t ntfs = options.ntfsMiB * kSectorsPerMiB;
  const uint64_t extStart = kAlignSectors + ntfs;
  // Each logical partition is preceded by its EBR, one alignment unit ahead.
  const uint64_t extSectors = 2 * (kAlignSectors + ntfs);
  disk.partitions = {
      {1, kAlignSectors, ntfs, "ntfs", "stow-primary"},
      {2, extStart, extSectors, "", ""},
      {5, extStart + kAlignSectors, ntfs, "ntfs", "stow-logical5"},
      {6, extStart + 2 * kAlignSectors + ntfs, ntfs, "ntfs", "stow-logical6"},
  };
  MakeSparseFile(disk.image, (extStart + extSectors + kAlignSectors) * kFixtureSectorSize);

  std::string script = "label: dos\nlabel-id: " + std::string(kMbrDiskId) + "\nunit: sectors\n";
  script += SfdiskLine(disk.partitions[0], "7", true);
  script += SfdiskLine(disk.partitions[1], "f", false);
  script += SfdiskLine(disk.partitions[2], "7", false);
  script += SfdiskLine(disk.partitions[3], "7", false);
  const fs::path scriptFile = disk.image.string() + ".sfdisk";
  std::ofstream(scriptFile) << script;
  const CommandResult table =
      Shell("sfdisk --quiet --no-reread --no-tell-kernel " + Quote(disk.image.string()) + " < " +
            Quote(scriptFile.string()));
  std::error_code ec;
  fs::remove(scriptFile, ec);
  Finish(disk, options, table, "sfdisk");
  return disk;
}

DiskFixture MakeGptDisk(const fs::path& dir, const DiskFixtureOptions& options) {
  DiskFixture disk = StartFixture(dir, options, "gpt.img");
  const uint64_t ntfs = options.ntfsMiB * kSectorsPerMiB;
  const uint64_t efi = kEfiMiB * kSectorsPerMiB;
  disk.partitions = {
      {1, kAlignSectors, efi, "vfat", "STOWEFI"},
      {2, kAlignSectors + efi, ntfs, "ntfs", "stow-gpt2"},
      {3, kAlignSectors + efi + ntfs, ntfs, "ntfs", "stow-gpt3"},
  };
  // Room behind the last partition for the backup header and entry array.
  MakeSparseFile(disk.image, (kAlignSectors + efi + 2 * ntfs + kAlignSectors) * kFixtureSectorSize);

  const char* types[] = {"EF00", "0700", "0700"};
  const char* names[] = {"EFI system partition", "Basic data partition", "stow data"};
  std::vector<std::string> argv{"sgdisk", "--clear"};
  for (size_t i = 0; i < disk.partitions.size(); ++i) {
    const FixturePartition& p = disk.partitions[i];
    const std::string n = std::to_string(p.number);
    argv.push_back("--new=" + n + ":" + std::to_string(p.start) + ":" +
                   std::to_string(p.start + p.sectors - 1));
    argv.push_back("--typecode=" + n + ":" + types[i]);
    argv.push_back("--change-name=" + n + ":" + names[i]);
  }
  argv.push_back(disk.image.string());
  Finish(disk, options, Run(argv), "sgdisk");
  return disk;
}

namespace {

constexpr const char* kMixedMbrDiskId = "0x5713e002";

// Writes the partitions of a GPT disk with sgdisk, one type code and name each.
CommandResult WriteGpt(const DiskFixture& disk, const std::vector<std::string>& types,
                       const std::vector<std::string>& names) {
  std::vector<std::string> argv{"sgdisk", "--clear"};
  for (size_t i = 0; i < disk.partitions.size(); ++i) {
    const FixturePartition& p = disk.partitions[i];
    const std::string n = std::to_string(p.number);
    argv.push_back("--new=" + n + ":" + std::to_string(p.start) + ":" +
                   std::to_string(p.start + p.sectors - 1));
    argv.push_back("--typecode=" + n + ":" + types[i]);
    argv.push_back("--change-name=" + n + ":" + names[i]);
  }
  argv.push_back(disk.image.string());
  return Run(argv);
}

}  // namespace

DiskFixture MakeMbrMixedDisk(const fs::path& dir, const DiskFixtureOptions& options) {
  DiskFixture disk = StartFixture(dir, options, "mbr-mixed.img");
  const uint64_t ntfs = options.ntfsMiB * kSectorsPerMiB;
  const uint64_t fat = kEfiMiB * kSectorsPerMiB;
  const uint64_t fatStart = kAlignSectors + ntfs;
  const uint64_t extStart = fatStart + fat;
  // Each logical partition is preceded by its EBR, one alignment unit ahead.
  const uint64_t extSectors = 2 * (kAlignSectors + ntfs);
  disk.partitions = {
      {1, kAlignSectors, ntfs, "ntfs", "stow-mbr1"},
      {2, fatStart, fat, "vfat", "STOWFAT2"},
      {3, extStart, extSectors, "", ""},
      {5, extStart + kAlignSectors, ntfs, "ntfs", "stow-mbr5"},
      {6, extStart + 2 * kAlignSectors + ntfs, ntfs, "ntfs", "stow-mbr6"},
  };
  MakeSparseFile(disk.image, (extStart + extSectors + kAlignSectors) * kFixtureSectorSize);

  std::string script =
      "label: dos\nlabel-id: " + std::string(kMixedMbrDiskId) + "\nunit: sectors\n";
  const char* types[] = {"7", "c", "f", "7", "7"};
  for (size_t i = 0; i < disk.partitions.size(); ++i) {
    script += SfdiskLine(disk.partitions[i], types[i], false);
  }
  const fs::path scriptFile = disk.image.string() + ".sfdisk";
  std::ofstream(scriptFile) << script;
  const CommandResult table =
      Shell("sfdisk --quiet --no-reread --no-tell-kernel " + Quote(disk.image.string()) + " < " +
            Quote(scriptFile.string()));
  std::error_code ec;
  fs::remove(scriptFile, ec);
  Finish(disk, options, table, "sfdisk");
  return disk;
}

DiskFixture MakeGptNtfsDisk(const fs::path& dir, const DiskFixtureOptions& options) {
  DiskFixture disk = StartFixture(dir, options, "gpt-ntfs.img");
  const uint64_t ntfs = options.ntfsMiB * kSectorsPerMiB;
  disk.partitions = {
      {1, kAlignSectors, ntfs, "ntfs", "stow-gpta1"},
      {2, kAlignSectors + ntfs, ntfs, "ntfs", "stow-gpta2"},
  };
  // Room behind the last partition for the backup header and entry array.
  MakeSparseFile(disk.image, (kAlignSectors + 2 * ntfs + kAlignSectors) * kFixtureSectorSize);
  Finish(disk, options, WriteGpt(disk, {"0700", "0700"}, {"stow data a", "stow data b"}), "sgdisk");
  return disk;
}

}  // namespace stow::test
