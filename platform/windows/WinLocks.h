// The advisory locks of this program's tasks on Windows: a byte-range lock on
// a lock file per volume under the system's temporary folder, shared or
// exclusive, never waited for.
#pragma once

#include <string>

#include "platform/windows/Win32.h"

namespace stow::platform::win {

// The name every spelling of one volume or file meets on: "vC" for a drive
// letter, "dN" for a physical drive, "f<volume serial>-<file index>" for a
// file. 0, or the system error.
int LockKeyOf(const std::string& path, std::string& key);

// Takes the lock of `path`: 0 with `out` holding it (closing releases it), or
// EWOULDBLOCK when another process holds a conflicting one.
int TakeAdvisoryLock(const std::string& path, bool exclusive, Handle& out);

}  // namespace stow::platform::win
