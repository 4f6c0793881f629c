#include "tests/testlib/WindowsDisks.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace stow::test {
namespace {

constexpr uint64_t kAlign = 2048;  // sectors: 1 MiB, as partitioning tools align
constexpr uint64_t kSectorsPerMiB = 2048;
constexpr uint64_t kEspMiB = 40;  // FAT32 needs 65,525 clusters; 512-byte clusters fit
constexpr const char* kMbrSignature = "0x5713e0b1";
constexpr size_t kDeviceSize = 0x58;

// Placeholder files of an installation, below Windows/Boot.
const std::vector<std::string> kBootFiles = {
    "PCAT/bootmgr",    "PCAT/memtest.exe", "PCAT/en-US/bootmgr.exe.mui", "EFI/bootmgfw.efi",
    "EFI/bootmgr.efi", "EFI/memtest.efi",  "EFI/en-US/bootmgfw.efi.mui",
};

void PutLe(std::vector<std::byte>& out, size_t offset, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) {
    out[offset + i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
  }
}

std::string WriteFile(const fs::path& path, const std::string& content) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary);
  out << content;
  out.close();
  return out ? "" : "cannot write " + path.string();
}

std::string Format(const std::string& node, const FixturePartition& p) {
  CommandResult r;
  if (p.fileSystem == "ntfs") {
    r = Run({"mkntfs", "--force", "--fast", "--quiet", "--partition-start", std::to_string(p.start),
             "--heads", "255", "--sectors-per-track", "63", "--sector-size", "512", "--label",
             p.label, node});
  } else if (p.fileSystem == "vfat") {
    r = Run(
        {"mkfs.vfat", "-F", "32", "-s", "1", "-h", std::to_string(p.start), "-n", p.label, node});
  } else {
    return {};
  }
  return r.status == 0 ? "" : "formatting " + node + " failed: " + r.output;
}

// Attaches the image, formats its partitions, reads the table back and puts
// the installation on partition `system` with C: naming it and E: naming `other`.
void Complete(WindowsDisk& disk, int system, int other) {
  disk.loop = std::make_unique<LoopDevice>(disk.layout.image);
  if (!disk.loop->Ok()) {
    disk.error = "cannot attach " + disk.layout.image.string();
    return;
  }
  for (const FixturePartition& p : disk.layout.partitions) {
    disk.error = Format(disk.Node(p.number), p);
    if (!disk.error.empty()) return;
  }
  disk.error = ReadSfdisk(disk.loop->Device(), disk.table);
  if (!disk.error.empty()) return;
  const auto entries = TypicalMountedDevices(ExpectedIdentifier(disk.table, disk.Node(system)),
                                             ExpectedIdentifier(disk.table, disk.Node(other)));
  NtfsMount mount(disk.Node(system), false);
  if (!mount.Ok()) {
    disk.error = "cannot mount the installation: " + mount.Error();
    return;
  }
  disk.error = FillWindowsVolume(mount.Path(), entries);
  if (disk.error.empty() && !mount.Unmount()) disk.error = "cannot unmount the installation";
}

std::string SfdiskLine(const FixturePartition& p, const std::string& type, bool bootable) {
  return "start=" + std::to_string(p.start) + ", size=" + std::to_string(p.sectors) +
         ", type=" + type + (bootable ? ", bootable" : "") + "\n";
}

}  // namespace

const std::vector<std::string>& InstallationBootFiles() { return kBootFiles; }

std::string PlaceholderContent(const std::string& path) { return "placeholder of " + path + "\n"; }

std::string FillWindowsVolume(const fs::path& root,
                              const std::vector<MountedDevicesEntry>& entries) {
  const fs::path windows = root / "Windows";
  std::string error =
      WriteFile(windows / "System32" / "ntoskrnl.exe", PlaceholderContent("System32/ntoskrnl.exe"));
  if (!error.empty()) return error;
  std::error_code ec;
  fs::create_directories(windows / "System32" / "config", ec);
  // The hive is written beside the volume and copied in: the hive editor
  // works on files, and this way its writes need no FUSE round trips.
  const fs::path scratch = root.parent_path() / (root.filename().string() + "-SYSTEM");
  error = WriteSystemHive(scratch, entries);
  if (!error.empty()) return error;
  fs::copy_file(scratch, windows / "System32" / "config" / "SYSTEM",
                fs::copy_options::overwrite_existing, ec);
  fs::remove(scratch);
  if (ec) return "cannot copy the hive: " + ec.message();
  for (const std::string& file : kBootFiles) {
    error = WriteFile(windows / "Boot" / file, PlaceholderContent(file));
    if (!error.empty()) return error;
  }
  return {};
}

const SfdiskPartition* SfdiskTable::Find(const std::string& node) const {
  for (const SfdiskPartition& p : partitions) {
    if (p.node == node) return &p;
  }
  return nullptr;
}

std::string ReadSfdisk(const std::string& disk, SfdiskTable& out) {
  // Flattened by python3 into one line per partition after the label line.
  const std::string script =
      "import json,sys\n"
      "t=json.load(sys.stdin)['partitiontable']\n"
      "print(t['label'], t.get('id',''))\n"
      "for p in t.get('partitions',[]):\n"
      "  print(p['node'], p['start'], 1 if p.get('bootable') else 0, p.get('uuid','-'))\n";
  const CommandResult r = Shell("sfdisk --json " + Quote(disk) + " | python3 -c " + Quote(script));
  if (r.status != 0) return "sfdisk --json failed: " + r.output;
  std::istringstream lines(r.output);
  out = SfdiskTable{};
  lines >> out.label >> out.id;
  SfdiskPartition p;
  int bootable = 0;
  while (lines >> p.node >> p.start >> bootable >> p.uuid) {
    p.bootable = bootable != 0;
    out.partitions.push_back(p);
  }
  return out.label.empty() ? "no table on " + disk : "";
}

std::vector<std::byte> GuidBytes(const std::string& text) {
  std::string hex;
  for (const char c : text) {
    if (c != '-') hex += c;
  }
  std::vector<std::byte> plain;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    plain.push_back(static_cast<std::byte>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  if (plain.size() != 16) return {};
  // The first three fields are stored little-endian, the last two as written.
  const size_t order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::vector<std::byte> out(16);
  for (size_t i = 0; i < 16; ++i) out[i] = plain[order[i]];
  return out;
}

std::vector<std::byte> ExpectedIdentifier(const SfdiskTable& table, const std::string& node) {
  const SfdiskPartition* p = table.Find(node);
  if (p == nullptr) return {};
  if (table.label == "gpt") {
    std::vector<std::byte> out;
    for (const char c : std::string("DMIO:ID:")) out.push_back(static_cast<std::byte>(c));
    const std::vector<std::byte> guid = GuidBytes(p->uuid);
    out.insert(out.end(), guid.begin(), guid.end());
    return out;
  }
  std::vector<std::byte> out(12);
  PutLe(out, 0, std::stoul(table.id, nullptr, 16), 4);
  PutLe(out, 4, p->start * 512, 8);
  return out;
}

std::vector<std::byte> ExpectedPartitionDevice(const SfdiskTable& table, const std::string& node) {
  const SfdiskPartition* p = table.Find(node);
  if (p == nullptr) return {};
  std::vector<std::byte> out(kDeviceSize);
  PutLe(out, 0x10, 6, 4);     // a partition
  PutLe(out, 0x18, 0x48, 4);  // the size of what follows the GUID
  if (table.label == "gpt") {
    const std::vector<std::byte> partition = GuidBytes(p->uuid);
    const std::vector<std::byte> disk = GuidBytes(table.id);
    std::copy(partition.begin(), partition.end(), out.begin() + 0x20);
    PutLe(out, 0x34, 0, 4);
    std::copy(disk.begin(), disk.end(), out.begin() + 0x38);
  } else {
    PutLe(out, 0x20, p->start * 512, 8);
    PutLe(out, 0x34, 1, 4);
    PutLe(out, 0x38, std::stoul(table.id, nullptr, 16), 4);
  }
  return out;
}

WindowsDisk MakeWindowsMbrDisk(const fs::path& dir, uint64_t ntfsMiB) {
  WindowsDisk disk;
  const uint64_t n = ntfsMiB * kSectorsPerMiB;
  const uint64_t ext = kAlign + 2 * n;
  disk.layout.image = dir / "windows-mbr.img";
  disk.layout.partitions = {
      {1, kAlign, n, "ntfs", "stow-windows"},
      {2, kAlign + n, n, "ntfs", "stow-copy"},
      {3, ext, kAlign + n, "", ""},
      {5, ext + kAlign, n, "ntfs", "stow-restore"},
  };
  MakeSparseFile(disk.layout.image, (ext + 2 * kAlign + n) * 512);
  std::string script = "label: dos\nlabel-id: " + std::string(kMbrSignature) + "\nunit: sectors\n";
  script += SfdiskLine(disk.layout.partitions[0], "7", true);
  script += SfdiskLine(disk.layout.partitions[1], "7", false);
  script += SfdiskLine(disk.layout.partitions[2], "f", false);
  script += SfdiskLine(disk.layout.partitions[3], "7", false);
  const fs::path scriptFile = dir / "windows-mbr.sfdisk";
  std::ofstream(scriptFile) << script;
  const CommandResult table =
      Shell("sfdisk --quiet --no-reread --no-tell-kernel " + Quote(disk.layout.image.string()) +
            " < " + Quote(scriptFile.string()));
  if (table.status != 0) {
    disk.error = "sfdisk failed: " + table.output;
    return disk;
  }
  Complete(disk, 1, 2);
  return disk;
}

WindowsDisk MakeWindowsGptDisk(const fs::path& dir, uint64_t ntfsMiB) {
  WindowsDisk disk;
  const uint64_t n = ntfsMiB * kSectorsPerMiB;
  const uint64_t esp = kEspMiB * kSectorsPerMiB;
  disk.layout.image = dir / "windows-gpt.img";
  disk.layout.partitions = {
      {1, kAlign, esp, "vfat", "STOWESP"},
      {2, kAlign + esp, n, "ntfs", "stow-windows"},
      {3, kAlign + esp + n, n, "ntfs", "stow-copy"},
      {4, kAlign + esp + 2 * n, n, "ntfs", "stow-restore"},
  };
  MakeSparseFile(disk.layout.image, (2 * kAlign + esp + 3 * n) * 512);
  const char* types[] = {"EF00", "0700", "0700", "0700"};
  std::vector<std::string> argv{"sgdisk", "--clear"};
  for (size_t i = 0; i < disk.layout.partitions.size(); ++i) {
    const FixturePartition& p = disk.layout.partitions[i];
    const std::string number = std::to_string(p.number);
    argv.push_back("--new=" + number + ":" + std::to_string(p.start) + ":" +
                   std::to_string(p.start + p.sectors - 1));
    argv.push_back("--typecode=" + number + ":" + types[i]);
  }
  argv.push_back(disk.layout.image.string());
  const CommandResult table = Run(argv);
  if (table.status != 0) {
    disk.error = "sgdisk failed: " + table.output;
    return disk;
  }
  Complete(disk, 2, 3);
  return disk;
}

std::vector<std::string> WindowsDiskTools() {
  return {"sfdisk", "sgdisk",  "mkntfs", "mkfs.vfat", "ntfs-3g", "ntfsfix", "python3",
          "mcopy",  "mattrib", "mdir",   "hivexget",  "hivexsh", "partx",   "losetup"};
}

std::string CopyOutOfVolume(const std::string& node, bool fat, const std::string& path,
                            const fs::path& target) {
  std::error_code ec;
  fs::remove(target, ec);
  if (fat) {
    const CommandResult r = Run(
        {"env", "MTOOLS_SKIP_CHECK=1", "mcopy", "-n", "-i", node, "::" + path, target.string()});
    return r.status == 0 ? "" : "mcopy " + path + ": " + r.output;
  }
  NtfsMount mount(node, true);
  if (!mount.Ok()) return "cannot mount " + node + ": " + mount.Error();
  fs::copy_file(fs::path(mount.Path().string() + path), target, ec);
  return ec ? "no " + path + " on " + node : "";
}

std::vector<std::byte> LoaderElement(const fs::path& store, const std::string& element) {
  const CommandResult r =
      Run({"hivexget", store.string(),
           "\\Objects\\{0c425a6e-94db-49dd-933a-35c71e20cbcd}\\Elements\\" + element, "Element"});
  if (r.status != 0) return {};
  std::vector<std::byte> out;
  for (const char c : r.output) out.push_back(static_cast<std::byte>(c));
  return out;
}

std::string CheckBootPartition(const std::string& node, bool fat,
                               const std::vector<std::byte>& device, bool storesExpected) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"/bootmgr", "PCAT/bootmgr"},
      {"/Boot/memtest.exe", "PCAT/memtest.exe"},
      {"/Boot/en-US/bootmgr.exe.mui", "PCAT/en-US/bootmgr.exe.mui"},
      {"/EFI/Microsoft/Boot/bootmgfw.efi", "EFI/bootmgfw.efi"},
      {"/EFI/Microsoft/Boot/bootmgr.efi", "EFI/bootmgr.efi"},
      {"/EFI/Microsoft/Boot/memtest.efi", "EFI/memtest.efi"},
      {"/EFI/Microsoft/Boot/en-US/bootmgfw.efi.mui", "EFI/en-US/bootmgfw.efi.mui"},
      {"/EFI/Boot/bootx64.efi", "EFI/bootmgfw.efi"},
  };
  TempDir scratch;
  std::string problems;
  for (const auto& [path, origin] : files) {
    const std::string error = CopyOutOfVolume(node, fat, path, scratch / "file");
    std::ifstream in(scratch / "file", std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    if (!error.empty()) {
      problems += error + "\n";
    } else if (content.str() != PlaceholderContent(origin)) {
      problems += path + " holds '" + content.str() + "'\n";
    }
  }
  for (const std::string store : {"/Boot/BCD", "/EFI/Microsoft/Boot/BCD"}) {
    const std::string error = CopyOutOfVolume(node, fat, store, scratch / "BCD");
    if (!storesExpected) {
      if (error.empty()) problems += store + " is there\n";
      continue;
    }
    if (!error.empty()) {
      problems += error + "\n";
      continue;
    }
    for (const std::string element : {"11000001", "21000001"}) {
      const std::vector<std::byte> found = LoaderElement(scratch / "BCD", element);
      if (found != device) {
        problems += store + " element " + element + " = " + HexBytes(found) + ", expected " +
                    HexBytes(device) + "\n";
      }
    }
  }
  return problems;
}

std::string HexBytes(const std::vector<std::byte>& bytes) {
  std::string out;
  char buffer[4];
  for (const std::byte b : bytes) {
    std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned>(b));
    if (!out.empty()) out += ',';
    out += buffer;
  }
  return out;
}

}  // namespace stow::test
