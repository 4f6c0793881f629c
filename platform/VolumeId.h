// A volume as the program names it. On Windows it wraps a drive letter and
// opens "\\.\C:"; here it wraps a device path (or a file standing in for a
// volume). Texts that show a volume use DisplayName().
#pragma once

#include <string>

namespace stow::platform {

class VolumeId {
 public:
  VolumeId() = default;
#ifdef _WIN32
  // A drive letter in any spelling ("D", "D:", "D:\", "\\.\D:") or a volume
  // GUID path with a letter becomes "\\.\D:" shown as "D"; anything else (a
  // file standing in for a volume, a disk) stays as it is.
  explicit VolumeId(std::string devicePath);
#else
  explicit VolumeId(std::string devicePath) : path_(std::move(devicePath)), display_(path_) {}
#endif

  const std::string& DevicePath() const { return path_; }
  const std::string& DisplayName() const { return display_; }
  bool Empty() const { return path_.empty(); }
  bool operator==(const VolumeId&) const = default;

 private:
  std::string path_;
  std::string display_;
};

}  // namespace stow::platform
