// Task error codes of the copy and restore workers beyond the common set, and
// the string-table entries that name them.
#pragma once

namespace stow::engine {

// The image file is cut short, a block record is damaged, or it holds no data.
inline constexpr int kTaskImageDamaged = 29;
// The resized $MFT would cover clusters the destination keeps in use.
inline constexpr int kTaskMftZoneInUse = 30;
// The copied records cannot be placed consistently: a run list outgrows its
// record, a cluster is claimed twice or lies past the volume, a run never
// arrived, or the stream of runs is out of step.
inline constexpr int kTaskDestinationInconsistent = 31;
// The destination's clusters are not the size of the source's.
inline constexpr int kTaskClusterSizeMismatch = 32;
// The source's $MFT is too small or continues in extension records.
inline constexpr int kTaskSourceMftUnsupported = 33;
// The source's file system is inconsistent: a record in use cannot be read
// whole, a run list is damaged or lies outside the volume, or two files name
// one cluster. Its image could never be restored.
inline constexpr int kTaskSourceInconsistent = 34;
// The source is mounted read-write: it can change while it is read.
inline constexpr int kTaskSourceMountedWritable = 35;
// The verification that follows a transfer found the destination holding
// other data than was written to it, or could not read it back.
inline constexpr int kTaskVerifyFailed = 36;

// The string-table identifier for one of the codes above; nullptr for others.
inline const char* RestoreErrorStringId(int code) {
  switch (code) {
    case kTaskImageDamaged:
      return "errorImageDamaged";
    case kTaskMftZoneInUse:
      return "errorMftZoneInUse";
    case kTaskDestinationInconsistent:
      return "errorDestinationInconsistent";
    case kTaskClusterSizeMismatch:
      return "errorClusterSizeMismatch";
    case kTaskSourceMftUnsupported:
      return "errorSourceMftUnsupported";
    case kTaskSourceInconsistent:
      return "errorSourceInconsistent";
    case kTaskSourceMountedWritable:
      return "errorSourceMountedWritable";
    case kTaskVerifyFailed:
      return "errorVerifyFailed";
    default:
      return nullptr;
  }
}

}  // namespace stow::engine
