// A volume as the program names it. On Windows it wraps a drive letter and
// opens "\\.\C:"; here it wraps a device path (or a file standing in for a
// volume). Texts that show a volume use DisplayName().
#pragma once

#include <string>

namespace stow::platform {

class VolumeId {
 public:
  VolumeId() = default;
  explicit VolumeId(std::string devicePath) : path_(std::move(devicePath)) {}

  const std::string& DevicePath() const { return path_; }
  const std::string& DisplayName() const { return path_; }
  bool Empty() const { return path_.empty(); }
  bool operator==(const VolumeId&) const = default;

 private:
  std::string path_;
};

}  // namespace stow::platform
