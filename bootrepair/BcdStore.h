// The program's own boot configuration data (BCD) store editor.
//
// A BCD store is a registry hive:
//   <root>\Description            KeyName = "BCD00000000" (REG_SZ)
//   <root>\Objects\{guid}\Description   Type (REG_DWORD): the object type
//   <root>\Objects\{guid}\Elements\<type as 8 hex digits>\Element
// An element's value type follows the element type's format nibble (bits
// 24-27): device and integer elements are REG_BINARY, strings and object
// references REG_SZ, object lists REG_MULTI_SZ.
//
// Partition device data (device 0x11000001 and osdevice 0x21000001 of a
// loader), 88 bytes, as Windows writes it for "partition=X:" (layout from the
// public descriptions "Devices Partition - Data", mistyprojects.co.uk BCDEdit
// documentation, and the Windows SDK's BcdDeviceQualifiedPartitionData class):
//   +0x00 16  GUID of an additional-options object (zero)
//   +0x10 u32 device type: 6 = partition
//   +0x14 u32 flags (0)
//   +0x18 u32 size of the device data from +0x10: 0x48
//   +0x1C u32 reserved (0)
//   +0x20 16  partition: MBR: byte offset (u64 LE, 8 zero bytes after);
//             GPT: the partition's unique GUID
//   +0x30 u32 reserved (0)
//   +0x34 u32 partition style: 1 = MBR, 0 = GPT
//   +0x38 16  disk: MBR: signature (u32 LE, 12 zero bytes after); GPT: disk GUID
//   +0x48 16  reserved (0)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bootrepair/Hive.h"
#include "bootrepair/VolumeIdentifier.h"
#include "platform/VolumeId.h"

namespace stow::bootrepair {

// The operating-system loader object every store of the boot file set holds.
inline constexpr const char* kLoaderObjectId = "{0c425a6e-94db-49dd-933a-35c71e20cbcd}";
// The boot manager object of a store.
inline constexpr const char* kBootManagerObjectId = "{9dea862c-5cdd-4e70-acc1-f32b344d4795}";

// Object types.
inline constexpr uint32_t kObjectTypeBootManager = 0x10100002;
inline constexpr uint32_t kObjectTypeOsLoader = 0x10200003;

// Element types.
inline constexpr uint32_t kElementDevice = 0x11000001;        // device
inline constexpr uint32_t kElementPath = 0x12000002;          // path
inline constexpr uint32_t kElementDescription = 0x12000004;   // description
inline constexpr uint32_t kElementOsDevice = 0x21000001;      // osdevice
inline constexpr uint32_t kElementSystemRoot = 0x22000002;    // systemroot
inline constexpr uint32_t kElementDefault = 0x23000003;       // default (boot manager)
inline constexpr uint32_t kElementDisplayOrder = 0x24000001;  // displayorder (boot manager)
inline constexpr uint32_t kElementTimeout = 0x25000004;       // timeout (boot manager)

// Partition device data.
inline constexpr size_t kPartitionDeviceSize = 0x58;
inline constexpr size_t kDeviceTypeOffset = 0x10;
inline constexpr size_t kDeviceDataSizeOffset = 0x18;
inline constexpr size_t kDevicePartitionOffset = 0x20;
inline constexpr size_t kDeviceStyleOffset = 0x34;
inline constexpr size_t kDeviceDiskOffset = 0x38;
inline constexpr uint32_t kDeviceTypePartition = 6;
inline constexpr uint32_t kDeviceDataSize = 0x48;
inline constexpr uint32_t kDeviceStyleMbr = 1;
inline constexpr uint32_t kDeviceStyleGpt = 0;
// A boot device (the device the boot manager was started from), 0x48 bytes.
inline constexpr uint32_t kDeviceTypeBoot = 5;

enum class BcdResult : int {
  kBcdOk = 0,
  kBcdOpenFailed = 1,   // the file is missing, unreadable or not a hive
  kBcdNotAStore = 2,    // a hive without an Objects key
  kBcdNoObject = 3,     // the object is not in the store
  kBcdNoElement = 4,    // the element is not set
  kBcdWriteFailed = 5,  // a change could not be made or written back
  kBcdBadArgument = 6,  // malformed object id, RAW partition style, ...
};
using enum BcdResult;
const char* BcdResultText(BcdResult result);

// The 88-byte partition device data for a located partition; empty for a style
// that is neither MBR nor GPT.
std::vector<std::byte> PartitionDeviceElement(const PartitionLocation& location);

// The device data of "boot" (the device the boot manager was started from),
// the same 88-byte frame with device type 5 and no partition or disk.
std::vector<std::byte> BootDeviceElement();

// The registry subkey name of an element type: 8 lower-case hex digits.
std::string ElementKeyName(uint32_t elementType);

// True for "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (hex digits, either case).
bool IsObjectId(std::string_view text);

class BcdStore {
 public:
  // Opens an existing store: kBcdOk, kBcdOpenFailed or kBcdNotAStore.
  [[nodiscard]] BcdResult Open(const std::string& path, bool writable);
  // Writes a new store at `path` (replacing any file) holding the Description
  // key and an empty Objects key, and opens it writable.
  [[nodiscard]] BcdResult Create(const std::string& path);

  // Adds an object (or keeps an existing one) with its type.
  [[nodiscard]] BcdResult AddObject(std::string_view objectId, uint32_t objectType);
  bool HasObject(std::string_view objectId) const;
  // The element's data and registry value type.
  [[nodiscard]] BcdResult GetElement(std::string_view objectId, uint32_t elementType,
                                     HiveValue& out) const;
  // Sets an element with the value type its format calls for.
  [[nodiscard]] BcdResult SetElement(std::string_view objectId, uint32_t elementType,
                                     const std::vector<std::byte>& data);
  [[nodiscard]] BcdResult SetStringElement(std::string_view objectId, uint32_t elementType,
                                           std::string_view text);
  [[nodiscard]] BcdResult SetObjectListElement(std::string_view objectId, uint32_t elementType,
                                               const std::vector<std::string>& objectIds);
  [[nodiscard]] BcdResult SetIntegerElement(std::string_view objectId, uint32_t elementType,
                                            uint64_t value);

  // Writes the changes back to the file.
  [[nodiscard]] BcdResult Commit();

 private:
  HiveKey ObjectKey(std::string_view objectId) const;
  [[nodiscard]] BcdResult SetRawElement(std::string_view objectId, uint32_t elementType,
                                        HiveValueType valueType, std::vector<std::byte> data);

  Hive hive_;
  HiveKey objects_ = kNoHiveKey;
};

// Creates the boot manager object: description, device "boot", the loader as
// default and only entry of the display order, a 30-second timeout, and on
// UEFI the boot manager's own path.
[[nodiscard]] BcdResult AddBootManager(BcdStore& store, bool uefi);

// Creates the loader object in a store and gives it the elements of a Windows
// loader: description, path ("\Windows\system32\winload.exe" or ".efi"),
// systemroot, and device and osdevice set to "boot" until SetStoreDevice
// points them at the installation's partition.
[[nodiscard]] BcdResult AddWindowsLoader(BcdStore& store, bool uefi);

// Points the loader object's device and osdevice elements of one store file at
// `location`, and writes the store back: a BcdResult.
[[nodiscard]] BcdResult SetStoreDevice(const std::string& storePath,
                                       const PartitionLocation& location);

// For every store in `storeList` (local file paths joined by '|', left to
// right): SetStoreDevice with the destination's location, with a log line for
// each store and element. The paths must be files this process can open
// (a store on an NTFS boot partition through its mount, or a working copy of a
// store on a FAT partition that the caller writes back). A store that fails
// is logged and the next one is still pointed. True when every store of the
// list points at the destination (also for an empty list); false when one does
// not, or when the destination cannot be located (then no store is touched).
[[nodiscard]] bool SetBcdDevice(const std::string& storeList,
                                const platform::VolumeId& destination);
[[nodiscard]] bool SetBcdDevice(const std::string& storeList, const PartitionLocation& destination);

}  // namespace stow::bootrepair
