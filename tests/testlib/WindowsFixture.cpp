#include "tests/testlib/WindowsFixture.h"

#include <sstream>

#include "bootrepair/Hive.h"
#include "bootrepair/HiveBuilder.h"
#include "tests/testlib/TestUtil.h"

namespace stow::test {
namespace {

using bootrepair::Hive;
using bootrepair::HiveKey;
using bootrepair::HiveValue;
using bootrepair::VolumeIdentifier;

VolumeIdentifier TextBytes(const std::string& text) {
  VolumeIdentifier out;
  for (const char c : text) out.push_back(static_cast<std::byte>(c));
  return out;
}

// A "\??\Volume{...}" entry of a removable or unlettered volume holds its
// device path as UTF-16 text on a real system; longer than any identifier.
VolumeIdentifier DevicePathData(const std::string& path) {
  VolumeIdentifier out;
  for (const char c : path) {
    out.push_back(static_cast<std::byte>(c));
    out.push_back(std::byte{0});
  }
  return out;
}

// hivexsh's "lsval" prints one value a line: "name"=hex(T):xx,xx,... with the
// name's backslashes and quotes escaped by a backslash.
bool ParseLsvalLine(const std::string& line, MountedDevicesEntry& out) {
  if (line.size() < 2 || line[0] != '"') return false;
  std::string name;
  size_t i = 1;
  for (; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    name.push_back(line[i]);
  }
  const size_t colon = line.find(':', i);
  if (i >= line.size() || line.compare(i, 6, "\"=hex(") != 0 || colon == std::string::npos) {
    return false;
  }
  VolumeIdentifier data;
  std::istringstream hex(line.substr(colon + 1));
  std::string byte;
  while (std::getline(hex, byte, ',')) {
    if (byte.empty()) continue;
    data.push_back(static_cast<std::byte>(std::stoul(byte, nullptr, 16)));
  }
  out.name = name;
  out.data = std::move(data);
  return true;
}

}  // namespace

std::vector<MountedDevicesEntry> TypicalMountedDevices(const VolumeIdentifier& systemVolume,
                                                       const VolumeIdentifier& otherVolume) {
  return {
      {"\\??\\Volume{6d1b9a4e-0c3f-11ef-8a6d-806e6f6e6963}", systemVolume},
      {"\\DosDevices\\C:", systemVolume},
      {"\\??\\Volume{6d1b9a4f-0c3f-11ef-8a6d-806e6f6e6963}", otherVolume},
      {"\\DosDevices\\E:", otherVolume},
      {"\\??\\Volume{91c3e2a0-0c40-11ef-8a6e-806e6f6e6963}",
       DevicePathData("_??_USBSTOR#Disk&Ven_Stow&Prod_Fixture&Rev_1.00#0001&0#"
                      "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}")},
      {"#{a8e2d7d1-5b0e-4c43-9a6f-0f6b6e0e1f3a}", TextBytes("DMIO:ID:unlettered-fixture")},
  };
}

std::string WriteSystemHive(const std::filesystem::path& path,
                            const std::vector<MountedDevicesEntry>& entries) {
  const int created = bootrepair::CreateEmptyHive(path.string(), "SYSTEM");
  if (created != 0) return "cannot create the hive: error " + std::to_string(created);
  Hive hive;
  if (hive.Open(path.string(), true) != 0) return "the new hive does not open";
  const HiveKey mounted = hive.EnsurePath(hive.Root(), "MountedDevices");
  const HiveKey select = hive.EnsurePath(hive.Root(), "Select");
  if (mounted == bootrepair::kNoHiveKey || select == bootrepair::kNoHiveKey ||
      hive.EnsurePath(hive.Root(), "ControlSet001\\Control") == bootrepair::kNoHiveKey) {
    return "cannot add the keys";
  }
  std::vector<HiveValue> values;
  for (const auto& entry : entries)
    values.push_back({entry.name, bootrepair::kRegBinary, entry.data});
  if (hive.SetValues(mounted, values) != 0) return "cannot set the MountedDevices values";
  HiveValue current{"Current", bootrepair::kRegDword, std::vector<std::byte>(4)};
  current.data[0] = std::byte{1};
  if (hive.SetValue(select, current) != 0) return "cannot set Select\\Current";
  if (hive.Commit() != 0) return "cannot write the hive";
  return {};
}

std::string ReadMountedDevicesWithHivexsh(const std::filesystem::path& path,
                                          std::vector<MountedDevicesEntry>& out) {
  out.clear();
  const CommandResult r =
      Shell("printf 'cd MountedDevices\\nlsval\\n' | hivexsh " + Quote(path.string()));
  if (r.status != 0) return "hivexsh failed: " + r.output;
  std::istringstream lines(r.output);
  std::string line;
  while (std::getline(lines, line)) {
    MountedDevicesEntry entry;
    if (ParseLsvalLine(line, entry)) out.push_back(std::move(entry));
  }
  return {};
}

}  // namespace stow::test
