#include "engine/disk/Disk.h"

#include "engine/destination/DiskDestination.h"

namespace stow::engine {

CDisk::CDisk() : destination_(std::make_unique<DiskDestination>(mft_, device_)) {}
CDisk::~CDisk() = default;

}  // namespace stow::engine
