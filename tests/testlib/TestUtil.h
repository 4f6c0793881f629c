// Helpers for tests that work on real volumes: temporary folders, running the
// ntfs-3g and util-linux tools, loop devices and FUSE mounts that are always
// released, and skips that say why.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace stow::test {

namespace fs = std::filesystem;

struct CommandResult {
  int status = -1;
  std::string output;  // standard output and standard error together
};

// Runs a command through the shell.
CommandResult Shell(const std::string& command);
// Runs a program with arguments, no shell.
CommandResult Run(const std::vector<std::string>& argv);
// Runs stowline-cli with arguments.
CommandResult RunCli(const std::vector<std::string>& args);
// Runs stowline-cli with the system's `program` replaced, for this run only
// (a private mount namespace), by a shell script: the program takes other
// programs only from the system's folders, never from PATH.
CommandResult RunCliWithStandIn(const std::string& program, const std::string& script,
                                const std::vector<std::string>& args);
// Quotes a string for the shell.
std::string Quote(const std::string& s);

bool HaveTool(const std::string& name);
bool IsRoot();
bool HaveFuse();
bool HaveLoopDevices();

// Empty when everything named is available, else the reason a test must skip.
std::string MissingForIntegration(const std::vector<std::string>& tools, bool needLoop = false,
                                  bool needFuse = false);

#define STOW_REQUIRE(tools, loop, fuse)                                                      \
  do {                                                                                       \
    const std::string stowMissing_ = ::stow::test::MissingForIntegration(tools, loop, fuse); \
    if (!stowMissing_.empty()) GTEST_SKIP() << stowMissing_;                                 \
  } while (0)

// A temporary folder removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& Path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// A sparse file of `bytes` bytes.
void MakeSparseFile(const fs::path& path, uint64_t bytes);

// Zeroes the first 4 KiB of the $MFT and of the $MFTMirr of the NTFS volume in
// `volume`: a volume that ntfsfix reports as corrupt ("Volume is corrupt").
void DamageMftAndMirror(const fs::path& volume);

// A disk image attached as a loop device with its partitions made visible
// (partx -a); partitions removed and the device detached when destroyed.
class LoopDevice {
 public:
  // `sectorSize`: the device's logical sector size; 0 for the default (512).
  explicit LoopDevice(const fs::path& image, bool withPartitions = true, uint32_t sectorSize = 0);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  bool Ok() const { return !device_.empty(); }
  const std::string& Device() const { return device_; }
  // "/dev/loop3p2" for partition 2.
  std::string Partition(int number) const;

 private:
  std::string device_;
};

// An ntfs-3g mount of a volume (device or image file) on a private folder,
// unmounted when destroyed.
class NtfsMount {
 public:
  NtfsMount(const std::string& volume, bool readOnly, const std::string& options = "");
  ~NtfsMount();
  NtfsMount(const NtfsMount&) = delete;
  NtfsMount& operator=(const NtfsMount&) = delete;
  bool Ok() const { return mounted_; }
  const fs::path& Path() const { return dir_.Path(); }
  // Unmounts now; true when the volume was released.
  bool Unmount();
  const std::string& Error() const { return error_; }

 private:
  TempDir dir_;
  bool mounted_ = false;
  std::string error_;
};

}  // namespace stow::test
