// Shared pieces of the restore and copy tests: fresh NTFS destinations, backups,
// restores and copies driven through TaskState, and the independent checks a
// written destination must pass (ntfsfix, ntfsresize's cluster accounting,
// ntfs-3g mounts).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/transfer/RestoreWorkers.h"
#include "engine/transfer/TaskState.h"
#include "tests/testlib/TaskErrorPrint.h"
#include "tests/testlib/TestUtil.h"

namespace stow::test {

// A sparse file holding a volume made by mkntfs --fast: true on success.
bool MakeNtfsVolume(const fs::path& path, uint64_t sizeMiB, uint32_t clusterSize,
                    const std::string& label = "dest");

// Engine tasks run to their end; each returns how the task ended (a start that
// fails is a test failure, and gives kUnknown).
engine::TaskError BackupVolume(const fs::path& volume, const fs::path& image);
engine::TaskError RestoreImage(const fs::path& image, const fs::path& destination,
                               const engine::RestoreIo& io = engine::RestoreIo::Default());
engine::TaskError CopyVolume(const fs::path& source, const fs::path& destination);

// Empty when the volume passes every independent check; else what failed:
//   ntfsfix --no-action finds nothing to fix;
//   ntfsresize --info finds every cluster accounted for (the run lists and the
//   bitmap agree, no cluster used twice);
//   ntfsinfo -m reads the volume.
std::string IndependentCheck(const std::string& volume);

// Empty when the metadata the engine rewrites agrees, as ntfscat and ntfsinfo
// read it: the $MFT's $BITMAP marks exactly the records in use, the $MFTMirr
// holds the first records of the $MFT, and the boot sector and its backup in
// the volume's last sector are the same and name the $MFTMirr's cluster.
std::string MetadataAgreementCheck(const std::string& volume);

// Mounts the volume read-write, fills most of its free space with new files
// (contents derived from their names), deletes every third one, unmounts, and
// checks the volume again; then mounts it read-only and reads the new files
// back. Empty on success; else what failed. The new files lie under
// "/stowline-stress".
std::string StressReadWrite(const std::string& volume);
inline constexpr const char* kStressFolder = "stowline-stress";

// Bytes of a file, or of a range of a volume image.
std::vector<std::byte> ReadFileBytes(const fs::path& path, uint64_t offset = 0,
                                     uint64_t length = UINT64_MAX);

}  // namespace stow::test
