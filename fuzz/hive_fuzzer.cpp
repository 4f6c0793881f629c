// Feeds arbitrary bytes to the MountedDevices rewrite as a SYSTEM hive file,
// once with a known source identifier (a copy) and once with a recorded drive
// letter (a restore), after reading it in this process. The bytes sit in an anonymous memory file
// reached by path, since the hive library opens files by name.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "bootrepair/Registry.h"
#include "support/Log.h"

using namespace stow;
using namespace stow::bootrepair;

namespace {

int MemoryFile(const uint8_t* data, size_t size) {
  const int fd = memfd_create("hive", MFD_CLOEXEC);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) {
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CLog::Instance().SetLevel(kLogOff);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = MemoryFile(data, size);
  if (fd < 0) return 0;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const VolumeIdentifier source = MbrVolumeIdentifier(0x5713e001, 0x100000);
  engine::Guid guid{};
  guid.fill(0x3C);
  const VolumeIdentifier destination = GptVolumeIdentifier(guid);

  // The reading side runs in this process, where the fuzzer sees its coverage;
  // the edits run in a child process, out of its sight.
  {
    Hive hive;
    if (hive.Open(path, false) == 0) {
      const HiveKey key = hive.Child(hive.Root(), kMountedDevicesKey);
      std::vector<HiveValue> values;
      static_cast<void>(hive.ReadValues(key, values));
      HiveValue value;
      static_cast<void>(hive.ReadValue(key, DosDeviceValueName(u'C'), value, kMaxIdentifierBytes));
      std::vector<std::string> names;
      static_cast<void>(hive.ChildNames(hive.Root(), names));
    }
  }
  static_cast<void>(FixMountedDevicesInHive(path, {{}, u'C'}, destination));
  if (FixMountedDevicesInHive(path, {source, 0}, destination)) {
    // A successful rewrite leaves a hive that opens, and no drive letter but
    // the moved one still names the destination at most once.
    Hive hive;
    if (hive.Open(path, false) != 0) __builtin_trap();
    const HiveKey key = hive.Child(hive.Root(), kMountedDevicesKey);
    std::vector<HiveValue> values;
    if (key != kNoHiveKey && hive.ReadValues(key, values) == 0) {
      int naming = 0;
      for (const auto& v : values) {
        if (v.name.find(kDosDevicesMarker) != std::string::npos && v.data == destination) ++naming;
      }
      if (naming > 1) __builtin_trap();
    }
  }
  close(fd);
  return 0;
}
