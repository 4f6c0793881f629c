// What the Windows block devices offer beyond the portable interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/BlockDevice.h"

namespace stow::platform {

// Opens the regular file `path` for reading and writing the way a volume or
// disk is opened: unbuffered, its size fixed, every transfer on `sectorSize`
// (a power of two). For the tests of the unbuffered transfers, which need no
// real device. 0, or the system error.
int OpenFileAsUnbufferedDeviceForTesting(const std::string& path, uint32_t sectorSize,
                                         std::unique_ptr<BlockDevice>& out);

}  // namespace stow::platform
