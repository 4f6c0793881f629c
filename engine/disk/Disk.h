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
//   DiskDestination  (engine/destination/DiskDestination.h)
//                                     the destination fix-up: bitmap, free
//                                     extents, run lists, the resized $MFT and
//                                     its mirror; works through both
// The parts reference each other only inside the CDisk that owns them, which
// is why a CDisk can be neither copied nor moved. The destination is only
// named here, so that the disk's includers do not see its headers; those that
// use it include DiskDestination.h.
#pragma once

#include <memory>

#include "engine/disk/DiskDevice.h"
#include "engine/disk/MftReader.h"

namespace stow::engine {

class DiskDestination;

class CDisk {
 public:
  CDisk();
  ~CDisk();
  CDisk(const CDisk&) = delete;
  CDisk& operator=(const CDisk&) = delete;
  CDisk(CDisk&&) = delete;
  CDisk& operator=(CDisk&&) = delete;

  DiskDevice& Device() { return device_; }
  const DiskDevice& Device() const { return device_; }
  MftReader& Mft() { return mft_; }
  const MftReader& Mft() const { return mft_; }
  DiskDestination& Destination() { return *destination_; }

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
  std::unique_ptr<DiskDestination> destination_;
};

}  // namespace stow::engine
