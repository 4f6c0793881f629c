// Feeds arbitrary bytes to the BCD store editor as a store file: opened,
// searched for the loader object, its device elements set and written back.
// The bytes sit in an anonymous memory file reached by path, since the hive
// library opens files by name.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "bootrepair/BcdStore.h"
#include "support/Log.h"

using namespace stow;
using namespace stow::bootrepair;

namespace {

// Writes the input into a fresh memory file; -1 when that fails.
int MemoryFile(const uint8_t* data, size_t size) {
  const int fd = memfd_create("bcd", MFD_CLOEXEC);
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

  {
    BcdStore store;
    if (store.Open(path, false) == kBcdOk) {
      HiveValue value;
      if (store.GetElement(kLoaderObjectId, kElementDevice, value) == kBcdOk &&
          value.data.size() > kMaxValueBytes) {
        __builtin_trap();
      }
    }
  }
  PartitionLocation location;
  location.style = (size & 1) != 0 ? platform::kStyleGpt : platform::kStyleMbr;
  location.mbrSignature = 0x5713e001;
  location.byteOffset = 0x100000;
  location.partitionGuid.fill(0xA5);
  location.diskGuid.fill(0x5A);
  if (SetStoreDevice(path, location) == kBcdOk) {
    // What was written must read back as written.
    BcdStore store;
    HiveValue value;
    if (store.Open(path, false) != kBcdOk ||
        store.GetElement(kLoaderObjectId, kElementOsDevice, value) != kBcdOk ||
        value.data != PartitionDeviceElement(location)) {
      __builtin_trap();
    }
  }
  close(fd);
  return 0;
}
