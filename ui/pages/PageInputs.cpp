#include "ui/pages/PageInputs.h"

#include "discovery/Inventory.h"

namespace stow::ui {

VolumeSource VolumeSource::System() {
  return {[](discovery::PartitionList& list) { discovery::RefreshPartitionList(list); },
          [](discovery::PartitionList& list) { discovery::EnumerateVolumes(list); }};
}

}  // namespace stow::ui
