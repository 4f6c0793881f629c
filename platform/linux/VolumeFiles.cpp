// Files inside an unmounted NTFS or FAT volume: NTFS through a private ntfs-3g
// mount, FAT through the mtools programs working on the device.
#include "platform/VolumeFiles.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/BlockDevice.h"
#include "platform/PrivateMount.h"
#include "platform/Process.h"
#include "platform/Volumes.h"
#include "support/Bytes.h"

namespace stow::platform {
namespace {

namespace fs = std::filesystem;

// ntfs-3g shows a file's NTFS attribute word as this extended attribute (4 bytes, little-endian).
constexpr const char* kNtfsAttributeName = "system.ntfs_attrib";
constexpr size_t kNtfsAttributeSize = 4;
// The bits a caller may set; the others (directory, compressed, ...) belong to the file system.
constexpr uint32_t kSettableAttributes =
    kFileAttributeReadOnly | kFileAttributeHidden | kFileAttributeSystem | kFileAttributeArchive;
// mtools output kept for messages; the programs say little.
constexpr size_t kToolOutputLimit = 4096;
// An mtools program reads or writes one small file (a boot file, a store) on
// a FAT boot partition: seconds at most, even on a slow stick. One that has
// not ended after two minutes hangs on its device.
constexpr std::chrono::minutes kToolTimeLimit{2};

int ErrorOf(const std::error_code& error) { return error ? error.value() : 0; }

int CopyLocalFile(const std::string& from, const std::string& to) {
  std::error_code error;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
  return ErrorOf(error);
}

// Files reached as ordinary files under a local folder: an NTFS volume's
// private mount, or a plain folder of this system.
class LocalFiles final : public VolumeFiles {
 public:
  LocalFiles(std::string device, std::string fileSystem, std::string root,
             std::unique_ptr<PrivateNtfsMount> mount)
      : device_(std::move(device)),
        fileSystem_(std::move(fileSystem)),
        mount_(std::move(mount)),
        root_(std::move(root)) {}
  ~LocalFiles() override { Close(); }

  const std::string& Device() const override { return device_; }
  const std::string& FileSystem() const override { return fileSystem_; }
  const std::string& LocalRoot() const override { return root_; }

  int QueryAttributes(const std::string& path, uint32_t& attributes) override {
    const std::string local = Local(path);
    struct stat st {};
    if (::lstat(local.c_str(), &st) != 0) return errno;
    std::array<std::byte, kNtfsAttributeSize> word{};
    if (::lgetxattr(local.c_str(), kNtfsAttributeName, word.data(), word.size()) ==
        static_cast<ssize_t>(word.size())) {
      attributes = LoadLe32(word.data());
      return 0;
    }
    // Without the driver's attribute word, what the mode says is all there is.
    attributes = S_ISDIR(st.st_mode) ? kFileAttributeDirectory : 0;
    if ((st.st_mode & S_IWUSR) == 0) attributes |= kFileAttributeReadOnly;
    if (attributes == 0) attributes = kFileAttributeNormal;
    return 0;
  }

  int SetAttributes(const std::string& path, uint32_t attributes) override {
    const std::string local = Local(path);
    std::array<std::byte, kNtfsAttributeSize> word{};
    if (::lgetxattr(local.c_str(), kNtfsAttributeName, word.data(), word.size()) ==
        static_cast<ssize_t>(word.size())) {
      const uint32_t current = LoadLe32(word.data());
      uint32_t next = (current & ~(kSettableAttributes | kFileAttributeNormal)) |
                      (attributes & kSettableAttributes);
      if (next == 0) next = kFileAttributeNormal;  // NTFS spells "no attributes" this way
      StoreLe32(word.data(), next);
      return ::lsetxattr(local.c_str(), kNtfsAttributeName, word.data(), word.size(), 0) == 0
                 ? 0
                 : errno;
    }
    struct stat st {};
    if (::lstat(local.c_str(), &st) != 0) return errno;
    const mode_t mode =
        (attributes & kFileAttributeReadOnly) != 0 ? st.st_mode & ~S_IWUSR : st.st_mode | S_IWUSR;
    return ::chmod(local.c_str(), mode & 07777) == 0 ? 0 : errno;
  }

  int MakeDirectory(const std::string& path) override {
    return ::mkdir(Local(path).c_str(), 0755) == 0 ? 0 : errno;
  }
  int WriteFile(const std::string& source, const std::string& path) override {
    return CopyLocalFile(source, Local(path));
  }
  int ReadFile(const std::string& path, const std::string& target) override {
    return CopyLocalFile(Local(path), target);
  }

  int Close() override {
    if (!mount_) return 0;
    const int result = mount_->Unmount();
    mount_.reset();
    return result;
  }

 private:
  std::string Local(const std::string& path) const { return root_ + path; }

  std::string device_;
  std::string fileSystem_;
  std::unique_ptr<PrivateNtfsMount> mount_;
  std::string root_;
};

class FatToolFiles final : public VolumeFiles {
 public:
  FatToolFiles(std::string device, std::string fileSystem)
      : device_(std::move(device)), fileSystem_(std::move(fileSystem)) {}

  const std::string& Device() const override { return device_; }
  const std::string& FileSystem() const override { return fileSystem_; }
  const std::string& LocalRoot() const override { return noRoot_; }

  int QueryAttributes(const std::string& path, uint32_t& attributes) override {
    RunOutcome entry;
    if (!Tool({"mattrib", "-i", device_, Dos(path)}, entry)) return ENOENT;
    // "  A    R     ::/EFI/Boot/BCD": the flags stand before the name.
    const std::string flags = entry.output.substr(0, entry.output.find("::"));
    uint32_t found = 0;
    if (flags.find('R') != std::string::npos) found |= kFileAttributeReadOnly;
    if (flags.find('H') != std::string::npos) found |= kFileAttributeHidden;
    if (flags.find('S') != std::string::npos) found |= kFileAttributeSystem;
    if (flags.find('A') != std::string::npos) found |= kFileAttributeArchive;
    // mattrib shows no directory flag; "dir/." resolves only inside a folder.
    RunOutcome inside;
    if (path == "/" || Tool({"mattrib", "-i", device_, Dos(path) + "/."}, inside)) {
      found |= kFileAttributeDirectory;
    }
    attributes = found == 0 ? kFileAttributeNormal : found;
    return 0;
  }

  int SetAttributes(const std::string& path, uint32_t attributes) override {
    auto flag = [&](uint32_t bit, const char* on, const char* off) {
      return (attributes & bit) != 0 ? on : off;
    };
    RunOutcome out;
    return Tool({"mattrib", "-i", device_, flag(kFileAttributeReadOnly, "+r", "-r"),
                 flag(kFileAttributeHidden, "+h", "-h"), flag(kFileAttributeSystem, "+s", "-s"),
                 flag(kFileAttributeArchive, "+a", "-a"), Dos(path)},
                out)
               ? 0
               : kVolumeFilesToolFailed;
  }

  int MakeDirectory(const std::string& path) override {
    uint32_t attributes = 0;
    if (QueryAttributes(path, attributes) == 0) return EEXIST;
    RunOutcome out;
    return Tool({"mmd", "-i", device_, Dos(path)}, out) ? 0 : kVolumeFilesToolFailed;
  }

  int WriteFile(const std::string& source, const std::string& path) override {
    RunOutcome out;
    return Tool({"mcopy", "-o", "-i", device_, source, Dos(path)}, out) ? 0
                                                                        : kVolumeFilesToolFailed;
  }

  int ReadFile(const std::string& path, const std::string& target) override {
    RunOutcome out;
    return Tool({"mcopy", "-n", "-i", device_, Dos(path), target}, out) ? 0
                                                                        : kVolumeFilesToolFailed;
  }

  int Close() override { return 0; }

 private:
  static std::string Dos(const std::string& path) { return "::" + path; }

  // Runs one mtools program; true when it ran and succeeded. The geometry
  // check is skipped: file systems made for partitions often disagree with it.
  static bool Tool(std::vector<std::string> argv, RunOutcome& out) {
    ProgramRun run;
    run.argv = std::move(argv);
    run.outputLimit = kToolOutputLimit;
    run.timeLimit = kToolTimeLimit;
    run.environment = {"MTOOLS_SKIP_CHECK=1"};
    out = RunProgram(run);
    return out.Succeeded();
  }

  std::string device_;
  std::string fileSystem_;
  std::string noRoot_;
};

}  // namespace

int OpenVolumeFiles(const std::string& device, bool readOnly, std::unique_ptr<VolumeFiles>& out,
                    std::string* why) {
  VolumeInformation info;
  const int queried = QueryVolumeInformation(device, info);
  if (queried != 0) {
    if (why) *why = "cannot probe the volume: " + SystemErrorText(queried);
    return queried;
  }
  if (info.fileSystemName == "NTFS") {
    auto mount = std::make_unique<PrivateNtfsMount>();
    const int mounted = mount->Mount(device, readOnly);
    if (mounted != 0) {
      if (why) *why = "cannot mount the NTFS volume: " + SystemErrorText(mounted);
      return mounted;
    }
    std::string root = mount->Path();
    out = std::make_unique<LocalFiles>(device, "NTFS", std::move(root), std::move(mount));
    return 0;
  }
  if (info.fileSystemName == "FAT32" || info.fileSystemName == "FAT") {
    out = std::make_unique<FatToolFiles>(device, info.fileSystemName);
    return 0;
  }
  if (why) {
    *why = "no access to files on a volume of type '" + info.fileSystemName + "'";
  }
  return kVolumeFilesUnsupported;
}

std::unique_ptr<VolumeFiles> OpenFolderFiles(const std::string& folder) {
  return std::make_unique<LocalFiles>(folder, "", folder, nullptr);
}

}  // namespace stow::platform
