#include "tasks/DestinationChoice.h"

#include "platform/VolumeUse.h"

namespace stow::tasks {

using discovery::PartitionInfo;
using discovery::PartitionList;

bool PartitionListChanged(const PartitionList& shown, const PartitionList& now) {
  if (shown.size() != now.size()) return true;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i].volumeName != now[i].volumeName || shown[i].mountPath != now[i].mountPath) {
      return true;
    }
  }
  return false;
}

const PartitionInfo* FindPartition(const PartitionList& list, const std::string& name) {
  if (name.empty()) return nullptr;
  for (const PartitionInfo& info : list) {
    if (info.volumeName == name) return &info;
  }
  return nullptr;
}

const PartitionInfo* FindVolume(const PartitionList& list, const std::string& name) {
  if (const PartitionInfo* found = FindPartition(list, name)) return found;
  for (const PartitionInfo& info : list) {
    if (!info.volumeName.empty() && platform::SameVolume(info.volumeName, name)) return &info;
  }
  return nullptr;
}

const PartitionInfo* SystemPartition(const PartitionList& list) {
  for (const PartitionInfo& info : list) {
    if (info.systemVolume == 1) return &info;
  }
  return nullptr;
}

bool CannotBoot(const PartitionInfo& destination) {
  if (destination.diskNumber == discovery::kNoDiskNumber) return true;
  if (destination.partitionStyle == platform::kStyleMbr) {
    return destination.mbrKind == discovery::kMbrKindUnknown;
  }
  if (destination.partitionStyle == platform::kStyleGpt) {
    return destination.gptFatFlag == discovery::kGptFatUnknown;
  }
  return false;
}

bool OnRunningSystemDisk(const PartitionList& list, const PartitionInfo& destination) {
  const PartitionInfo* system = SystemPartition(list);
  return system != nullptr && system->diskNumber != discovery::kNoDiskNumber &&
         system->diskNumber == destination.diskNumber;
}

bool NeedsBootPartitionSplit(const PartitionInfo& destination) {
  return destination.partitionStyle == platform::kStyleGpt &&
         destination.gptFatFlag != discovery::kGptFatPresent;
}

}  // namespace stow::tasks
