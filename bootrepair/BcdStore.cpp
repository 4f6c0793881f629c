#include "bootrepair/BcdStore.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "bootrepair/HiveBuilder.h"
#include "platform/Isolated.h"
#include "support/Enums.h"
#include "support/Log.h"

namespace stow::bootrepair {
namespace {

constexpr const char* kStoreRootName = "NewStoreRoot";
constexpr const char* kDescriptionKey = "Description";
constexpr const char* kObjectsKey = "Objects";
constexpr const char* kElementsKey = "Elements";
constexpr const char* kElementValue = "Element";
constexpr const char* kTypeValue = "Type";
constexpr const char* kKeyNameValue = "KeyName";
constexpr const char* kStoreKeyName = "BCD00000000";

// Element formats (bits 24-27 of the element type).
constexpr uint32_t kFormatShift = 24;
constexpr uint32_t kFormatMask = 0xF;
enum class ElementFormat : uint32_t {
  kFormatDevice = 1,
  kFormatString = 2,
  kFormatObject = 3,
  kFormatObjectList = 4,
  kFormatInteger = 5,
  kFormatBoolean = 6,
  kFormatIntegerList = 7,
};

constexpr size_t kObjectIdLength = 38;
constexpr size_t kDashPositions[] = {9, 14, 19, 24};

HiveValueType ValueTypeOf(uint32_t elementType) {
  switch (static_cast<ElementFormat>((elementType >> kFormatShift) & kFormatMask)) {
    case ElementFormat::kFormatString:
    case ElementFormat::kFormatObject:
      return kRegSz;
    case ElementFormat::kFormatObjectList:
      return kRegMultiSz;
    default:
      return kRegBinary;  // device, integer, boolean, integer list
  }
}

// Registry strings: UTF-16LE with a terminating NUL. The texts here are ASCII.
void AppendUtf16(std::vector<std::byte>& out, std::string_view text) {
  for (const char c : text) {
    out.push_back(static_cast<std::byte>(c));
    out.push_back(std::byte{0});
  }
  out.push_back(std::byte{0});
  out.push_back(std::byte{0});
}

std::string GuidText(const engine::Guid& guid) { return "{" + engine::GuidToString(guid) + "}"; }

std::string LocationText(const PartitionLocation& location) {
  char text[96];
  if (location.style == platform::kStyleMbr) {
    std::snprintf(text, sizeof text, "partition signature=0x%08x offset=%llu",
                  location.mbrSignature, static_cast<unsigned long long>(location.byteOffset));
    return text;
  }
  return "partition disk=" + GuidText(location.diskGuid) +
         " partition=" + GuidText(location.partitionGuid);
}

const char* ElementName(uint32_t elementType) {
  return elementType == kElementDevice ? "device" : "osdevice";
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

constexpr EnumLabel<BcdResult> kBcdResultLabels[] = {
    {kBcdOk, "done"},
    {kBcdOpenFailed, "the store cannot be opened as a hive"},
    {kBcdNotAStore, "the hive is no boot configuration store"},
    {kBcdNoObject, "the object is not in the store"},
    {kBcdNoElement, "the element is not set"},
    {kBcdWriteFailed, "the change cannot be written"},
    {kBcdBadArgument, "bad argument"},
};

const char* BcdResultText(BcdResult result) { return LabelOf(kBcdResultLabels, result); }

std::vector<std::byte> PartitionDeviceElement(const PartitionLocation& location) {
  if (location.style != platform::kStyleMbr && location.style != platform::kStyleGpt) return {};
  std::vector<std::byte> data(kPartitionDeviceSize, std::byte{0});
  std::byte* p = data.data();
  StoreLe32(p + kDeviceTypeOffset, kDeviceTypePartition);
  StoreLe32(p + kDeviceDataSizeOffset, kDeviceDataSize);
  if (location.style == platform::kStyleMbr) {
    StoreLe64(p + kDevicePartitionOffset, location.byteOffset);
    StoreLe32(p + kDeviceStyleOffset, kDeviceStyleMbr);
    StoreLe32(p + kDeviceDiskOffset, location.mbrSignature);
  } else {
    for (size_t i = 0; i < location.partitionGuid.size(); ++i) {
      p[kDevicePartitionOffset + i] = static_cast<std::byte>(location.partitionGuid[i]);
      p[kDeviceDiskOffset + i] = static_cast<std::byte>(location.diskGuid[i]);
    }
    StoreLe32(p + kDeviceStyleOffset, kDeviceStyleGpt);
  }
  return data;
}

std::vector<std::byte> BootDeviceElement() {
  std::vector<std::byte> data(kPartitionDeviceSize, std::byte{0});
  StoreLe32(data.data() + kDeviceTypeOffset, kDeviceTypeBoot);
  StoreLe32(data.data() + kDeviceDataSizeOffset, kDeviceDataSize);
  return data;
}

std::string ElementKeyName(uint32_t elementType) {
  char name[9];
  std::snprintf(name, sizeof name, "%08x", elementType);
  return name;
}

bool IsObjectId(std::string_view text) {
  if (text.size() != kObjectIdLength || text.front() != '{' || text.back() != '}') return false;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    const bool dash = std::find(std::begin(kDashPositions), std::end(kDashPositions), i) !=
                      std::end(kDashPositions);
    if (dash ? text[i] != '-' : !IsHexDigit(text[i])) return false;
  }
  return true;
}

BcdResult BcdStore::Open(const std::string& path, bool writable) {
  objects_ = kNoHiveKey;
  if (hive_.Open(path, writable) != 0) return kBcdOpenFailed;
  objects_ = hive_.Child(hive_.Root(), kObjectsKey);
  return objects_ != kNoHiveKey ? kBcdOk : kBcdNotAStore;
}

BcdResult BcdStore::Create(const std::string& path) {
  objects_ = kNoHiveKey;
  if (CreateEmptyHive(path, kStoreRootName) != 0) return kBcdWriteFailed;
  if (hive_.Open(path, true) != 0) return kBcdOpenFailed;
  const HiveKey description = hive_.AddChild(hive_.Root(), kDescriptionKey);
  objects_ = hive_.AddChild(hive_.Root(), kObjectsKey);
  if (description == kNoHiveKey || objects_ == kNoHiveKey) return kBcdWriteFailed;
  HiveValue keyName{kKeyNameValue, kRegSz, {}};
  AppendUtf16(keyName.data, kStoreKeyName);
  if (hive_.SetValue(description, keyName) != 0) return kBcdWriteFailed;
  return Commit();
}

HiveKey BcdStore::ObjectKey(std::string_view objectId) const {
  if (objects_ == kNoHiveKey || !IsObjectId(objectId)) return kNoHiveKey;
  return hive_.Child(objects_, objectId);
}

bool BcdStore::HasObject(std::string_view objectId) const {
  return ObjectKey(objectId) != kNoHiveKey;
}

BcdResult BcdStore::AddObject(std::string_view objectId, uint32_t objectType) {
  if (objects_ == kNoHiveKey) return kBcdNotAStore;
  if (!IsObjectId(objectId)) return kBcdBadArgument;
  const HiveKey object = hive_.EnsurePath(objects_, objectId);
  const HiveKey description = hive_.EnsurePath(object, kDescriptionKey);
  if (description == kNoHiveKey || hive_.EnsurePath(object, kElementsKey) == kNoHiveKey) {
    return kBcdWriteFailed;
  }
  HiveValue type{kTypeValue, kRegDword, std::vector<std::byte>(4)};
  StoreLe32(type.data.data(), objectType);
  return hive_.SetValue(description, type) == 0 ? kBcdOk : kBcdWriteFailed;
}

BcdResult BcdStore::GetElement(std::string_view objectId, uint32_t elementType,
                               HiveValue& out) const {
  const HiveKey object = ObjectKey(objectId);
  if (object == kNoHiveKey) return kBcdNoObject;
  const HiveKey element =
      hive_.Find(object, std::string(kElementsKey) + "\\" + ElementKeyName(elementType));
  if (element == kNoHiveKey) return kBcdNoElement;
  return hive_.ReadValue(element, kElementValue, out) == 0 ? kBcdOk : kBcdNoElement;
}

BcdResult BcdStore::SetRawElement(std::string_view objectId, uint32_t elementType,
                                  HiveValueType valueType, std::vector<std::byte> data) {
  const HiveKey object = ObjectKey(objectId);
  if (object == kNoHiveKey) return kBcdNoObject;
  const HiveKey element =
      hive_.EnsurePath(object, std::string(kElementsKey) + "\\" + ElementKeyName(elementType));
  if (element == kNoHiveKey) return kBcdWriteFailed;
  const HiveValue value{kElementValue, valueType, std::move(data)};
  return hive_.SetValue(element, value) == 0 ? kBcdOk : kBcdWriteFailed;
}

BcdResult BcdStore::SetElement(std::string_view objectId, uint32_t elementType,
                               const std::vector<std::byte>& data) {
  return SetRawElement(objectId, elementType, ValueTypeOf(elementType), data);
}

BcdResult BcdStore::SetStringElement(std::string_view objectId, uint32_t elementType,
                                     std::string_view text) {
  std::vector<std::byte> data;
  AppendUtf16(data, text);
  return SetRawElement(objectId, elementType, kRegSz, std::move(data));
}

BcdResult BcdStore::SetObjectListElement(std::string_view objectId, uint32_t elementType,
                                         const std::vector<std::string>& objectIds) {
  std::vector<std::byte> data;
  for (const auto& id : objectIds) {
    if (!IsObjectId(id)) return kBcdBadArgument;
    AppendUtf16(data, id);
  }
  data.push_back(std::byte{0});  // the list ends with an empty string
  data.push_back(std::byte{0});
  return SetRawElement(objectId, elementType, kRegMultiSz, std::move(data));
}

BcdResult BcdStore::SetIntegerElement(std::string_view objectId, uint32_t elementType,
                                      uint64_t value) {
  std::vector<std::byte> data(8);
  StoreLe64(data.data(), value);
  return SetRawElement(objectId, elementType, kRegBinary, std::move(data));
}

BcdResult BcdStore::Commit() { return hive_.Commit() == 0 ? kBcdOk : kBcdWriteFailed; }

BcdResult AddWindowsLoader(BcdStore& store, bool uefi) {
  BcdResult result = store.AddObject(kLoaderObjectId, kObjectTypeOsLoader);
  if (result == kBcdOk)
    result = store.SetStringElement(kLoaderObjectId, kElementDescription, "Windows");
  if (result == kBcdOk) {
    result = store.SetStringElement(
        kLoaderObjectId, kElementPath,
        uefi ? "\\Windows\\system32\\winload.efi" : "\\Windows\\system32\\winload.exe");
  }
  if (result == kBcdOk)
    result = store.SetStringElement(kLoaderObjectId, kElementSystemRoot, "\\Windows");
  if (result == kBcdOk)
    result = store.SetElement(kLoaderObjectId, kElementDevice, BootDeviceElement());
  if (result == kBcdOk)
    result = store.SetElement(kLoaderObjectId, kElementOsDevice, BootDeviceElement());
  return result;
}

BcdResult AddBootManager(BcdStore& store, bool uefi) {
  constexpr uint64_t kTimeoutSeconds = 30;
  const char* id = kBootManagerObjectId;
  BcdResult result = store.AddObject(id, kObjectTypeBootManager);
  if (result == kBcdOk)
    result = store.SetStringElement(id, kElementDescription, "Windows Boot Manager");
  if (result == kBcdOk) result = store.SetElement(id, kElementDevice, BootDeviceElement());
  if (result == kBcdOk && uefi) {
    result = store.SetStringElement(id, kElementPath, "\\EFI\\Microsoft\\Boot\\bootmgfw.efi");
  }
  if (result == kBcdOk) result = store.SetStringElement(id, kElementDefault, kLoaderObjectId);
  if (result == kBcdOk)
    result = store.SetObjectListElement(id, kElementDisplayOrder, {kLoaderObjectId});
  if (result == kBcdOk) result = store.SetIntegerElement(id, kElementTimeout, kTimeoutSeconds);
  return result;
}

namespace {

// The store is edited in a child process, as the hive library stops the
// process on some damaged hives while writing. The child hands back the two
// element results packed into one code, or a store-level failure.
constexpr int kElementResultBits = 3;
constexpr int kElementResultMask = (1 << kElementResultBits) - 1;
constexpr int kStoreFailureBase = 64;

// One element of the loader, written back at once, as one run of the system's
// own tool would do it.
[[nodiscard]] BcdResult SetOneDevice(BcdStore& store, uint32_t elementType,
                                     const std::vector<std::byte>& data) {
  const BcdResult result = store.SetElement(kLoaderObjectId, elementType, data);
  return result == kBcdOk ? store.Commit() : result;
}

// Writes no log.
int EditStore(const std::string& storePath, const std::vector<std::byte>& data) {
  BcdStore store;
  BcdResult result = store.Open(storePath, true);
  if (result == kBcdOk && !store.HasObject(kLoaderObjectId)) result = kBcdNoObject;
  if (result != kBcdOk) return kStoreFailureBase + ToInt(result);
  const BcdResult device = SetOneDevice(store, kElementDevice, data);
  const BcdResult os = SetOneDevice(store, kElementOsDevice, data);
  return ToInt(device) | (ToInt(os) << kElementResultBits);
}

void LogElement(const std::string& storePath, uint32_t elementType, BcdResult result,
                const std::string& where) {
  if (result == kBcdOk) {
    LogLess("set bcd success %s  ,element %s %s %s", storePath.c_str(), kLoaderObjectId,
            ElementName(elementType), where.c_str());
  } else {
    LogLess("set bcd %s fail ,element %s %s ,error=%d (%s)", storePath.c_str(), kLoaderObjectId,
            ElementName(elementType), ToInt(result), BcdResultText(result));
  }
}

}  // namespace

BcdResult SetStoreDevice(const std::string& storePath, const PartitionLocation& location) {
  const std::vector<std::byte> data = PartitionDeviceElement(location);
  if (data.empty()) {
    LogLess("set bcd %s fail ,partition style %d has no device form", storePath.c_str(),
            ToInt(location.style));
    return kBcdBadArgument;
  }
  const int code = platform::RunIsolated([&]() { return EditStore(storePath, data); });
  if (code < 0 || code >= kStoreFailureBase) {
    const BcdResult result =
        code < 0 ? kBcdWriteFailed : static_cast<BcdResult>(code - kStoreFailureBase);
    LogLess("set bcd %s fail ,error=%d (%s)", storePath.c_str(), ToInt(result),
            code < 0 ? "the store is damaged" : BcdResultText(result));
    return result;
  }
  const auto device = static_cast<BcdResult>(code & kElementResultMask);
  const auto os = static_cast<BcdResult>((code >> kElementResultBits) & kElementResultMask);
  const std::string where = LocationText(location);
  LogElement(storePath, kElementDevice, device, where);
  LogElement(storePath, kElementOsDevice, os, where);
  return device != kBcdOk ? device : os;
}

bool SetBcdDevice(const std::string& storeList, const PartitionLocation& destination) {
  bool all = true;
  size_t start = 0;
  while (start <= storeList.size()) {
    const size_t end = std::min(storeList.find('|', start), storeList.size());
    // Each store is pointed on its own; SetStoreDevice logs why one failed.
    if (end > start &&
        SetStoreDevice(storeList.substr(start, end - start), destination) != kBcdOk) {
      LogLess("boot store %s still points at its old device",
              storeList.substr(start, end - start).c_str());
      all = false;
    }
    start = end + 1;
  }
  return all;
}

bool SetBcdDevice(const std::string& storeList, const platform::VolumeId& destination) {
  PartitionLocation location;
  const LocateResult located = LocatePartition(destination, location);
  if (located != kLocateOk) {
    LogLess("set bcd fail ,cannot locate %s: %s", destination.DisplayName().c_str(),
            LocateResultText(located));
    // Only a list without any store has nothing left pointing elsewhere.
    return storeList.find_first_not_of('|') == std::string::npos;
  }
  return SetBcdDevice(storeList, location);
}

}  // namespace stow::bootrepair
