// The offline registry as the boot repair uses it: the platform's hive access.
#pragma once

#include "platform/Hive.h"

namespace stow::bootrepair {

using platform::Hive;
using platform::HiveKey;
using platform::HiveValue;
using platform::HiveValueType;
using platform::kMaxKeyPathDepth;
using platform::kMaxSubkeysPerKey;
using platform::kMaxValueBytes;
using platform::kMaxValuesPerKey;
using platform::kNoHiveKey;
using platform::kRegBinary;
using platform::kRegDword;
using platform::kRegMultiSz;
using platform::kRegNone;
using platform::kRegSz;

}  // namespace stow::bootrepair
