// Regular files of the program's own: image files written and read by
// positioned transfers, removed again after a failed backup, and the free space
// of the file system that is to hold one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/BlockDevice.h"

namespace stow::platform {

// Creates `path`, or empties it when it exists, and opens it for positioned
// reads and writes. Returns 0 and sets `out`, or the system error. Size()
// reports the size at creation (0); writes past it extend the file.
[[nodiscard]] int CreateRegularFile(const std::string& path, std::unique_ptr<BlockDevice>& out);

// Creates `path`, which must not exist yet (EEXIST otherwise), and opens it as
// CreateRegularFile does.
int CreateNewFile(const std::string& path, std::unique_ptr<BlockDevice>& out);

// A name for a file written beside `target` and renamed over it once complete:
// the same folder, hidden, unlikely to exist ("dir/.name.1a2b3c4d.partial").
std::string TemporaryPathBeside(const std::string& target);

// Renames `from` over `to` (same folder) and makes the rename durable by syncing
// the folder: 0, or the system error. `to` is replaced at once or not at all.
int ReplaceFile(const std::string& from, const std::string& to);

// Removes a regular file: 0, or the system error.
[[nodiscard]] int RemoveFile(const std::string& path);

// The size of a regular file: 0, or the system error.
[[nodiscard]] int QueryFileSize(const std::string& path, uint64_t& size);

// Bytes free for an unprivileged writer on the file system that holds `path`,
// or would hold it when it does not exist yet (the nearest existing folder
// above it is asked): 0, or the system error.
[[nodiscard]] int QueryFreeSpace(const std::string& path, uint64_t& freeBytes);

}  // namespace stow::platform
