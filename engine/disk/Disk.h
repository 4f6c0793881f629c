// CDisk: raw access to one volume or one physical disk, and the NTFS state built
// on it. A CDisk is owned by one thread and never shared.
//
// It owns its parts, each a class of its own that works through the one below:
//   DiskDevice       (DiskDevice.h)   opening, positioned reads and writes,
//                                     locking, the boot sector; the partition
//                                     tables are free functions over it
//                                     (DiskPartitions.h)
//   MftReader        (MftReader.h)    the MFT reader: record cache, entry list,
//                                     totals; reads through the DiskDevice
// The parts reference each other only inside the CDisk that owns them, which
// is why a CDisk can be neither copied nor moved. The destination fix-up
// (engine/destination/DiskDestination.h) sits a room higher and works through
// both parts; whoever fixes a destination up holds one beside its CDisk.
#pragma once

#include <memory>
#include <utility>

#include "engine/disk/DiskDevice.h"
#include "engine/disk/MftReader.h"

namespace stow::engine {

class CDisk {
 public:
  CDisk() = default;
  ~CDisk() = default;
  CDisk(const CDisk&) = delete;
  CDisk& operator=(const CDisk&) = delete;
  CDisk(CDisk&&) = delete;
  CDisk& operator=(CDisk&&) = delete;

  DiskDevice& Device() { return device_; }
  const DiskDevice& Device() const { return device_; }
  MftReader& Mft() { return mft_; }
  const MftReader& Mft() const { return mft_; }

  // Opening is what every user of a CDisk starts with.
  [[nodiscard]] DiskResult InitDisk(const platform::VolumeId& volume, bool readOnly) {
    return device_.InitDisk(volume, readOnly);
  }
  void Attach(std::unique_ptr<platform::BlockDevice> device, bool readBootSector) {
    device_.Attach(std::move(device), readBootSector);
  }

 private:
  // Declared in the order they are built: each part references only those above it.
  DiskDevice device_;
  MftReader mft_{device_};
};

}  // namespace stow::engine
