// The boot repair that makes a copied or restored Windows system bootable:
// the boot file set goes onto the boot partition of the destination's disk,
// every boot configuration store placed there is pointed at the destination,
// and on an MBR disk the boot partition is marked active.
//
// The boot file set is gathered per repair from two places (docs/boot-files.md):
// the boot configuration templates in the folder "BCDFile" beside the program,
// and the boot manager files of the destination's own installation
// (Windows/Boot/PCAT and Windows/Boot/EFI).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/VolumeId.h"
#include "platform/Volumes.h"

namespace stow::bootrepair {

// The parameters of the boot repair.
struct RepairParams {
  // The boot partition: the system's number of its disk and its number there.
  uint32_t diskNumber = 0;
  uint32_t partitionNumber = 0;
  // The style of the boot partition's disk.
  platform::PartitionStyle partitionStyle = platform::kStyleRaw;

  // Volumes are devices here, not letters.
  platform::VolumeId source;         // copy: the source volume; restore: empty
  platform::VolumeId destination;    // the volume that now holds the copied system
  platform::VolumeId bootPartition;  // the partition that takes the boot files
};

// Results of the boot repair (the number is what the failure message shows).
enum class BootRepairResult : int32_t {
  kOk = 0,
  kNoProgramFolder = 1,  // the program's folder is unknown
  kActivateFailed = 2,   // MBR: the boot partition was not made active
  // The boot file set is not all on the boot partition: a file could not be
  // gathered or copied, or the partition could not be opened. Reported before 2.
  kFilesNotCopied = 3,
  // A boot configuration store on the boot partition could not be pointed at
  // the destination (or the destination not located). Reported only when
  // neither 3 nor 2 is.
  kStoresNotSet = 4,
};


// Results of ActivateBootPartition.
enum class ActivateResult : int8_t {
  kOk = 0,
  kOpenFailed = -1,
  kNoPartitionInfo = -2,
  kNoDiskNumber = -3,
  kNoEntry = -4,
  // Sector 0 could not be rewritten: the flag is not set, which is no success.
  kWriteFailed = -5,
};

// The folder of boot configuration templates beside the program.
inline constexpr const char* kBootFileSetFolder = "BCDFile";

// Marks the MBR partition at `partitionPath` (a partition device) active in
// sector 0 of its disk and every other primary entry inactive. Only primary
// entries can match: a logical partition gives kNoEntry.
[[nodiscard]] ActivateResult ActivateBootPartition(const std::string& partitionPath);

struct BootRepairOptions {
  // The folder holding "BCDFile"; empty: the program's own folder.
  std::string programDirectory;
};

// Gathers the boot file set, copies it onto the boot partition and points
// every store placed there at the destination: kOk, kNoProgramFolder,
// kFilesNotCopied when a file could not be gathered or placed (the rest is
// placed all the same), else kStoresNotSet when a store does not point at the
// destination. The active flag is ActivateBootPartition's.
[[nodiscard]] BootRepairResult PlaceBootFileSet(const RepairParams& params,
                                                const BootRepairOptions& options = {});

// Gathers the boot file set into the local folder `staging` (created by the
// caller): the boot manager files of the installation on `destination`, then
// the templates of `templates` over them. Failures are logged; whatever could
// be gathered is there. Returns the number of files found that could not be
// gathered (a folder that is missing is logged, not counted).
[[nodiscard]] size_t GatherBootFileSet(const std::string& templates,
                                       const platform::VolumeId& destination,
                                       const std::string& staging);

}  // namespace stow::bootrepair
