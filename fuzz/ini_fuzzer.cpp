// Settings files are edited by hand: any text must parse without harm, and a key written
// into any text must read back as written while the other keys keep their values.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/IniFile.h"

namespace {

constexpr size_t kNameBytes = 4;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(data, data + size);
  // The first bytes name a section and a key, so that odd names are tried too.
  const std::string names = input.substr(0, std::min(input.size(), kNameBytes));
  const std::string section = names.substr(0, std::min(names.size(), kNameBytes / 2));
  const std::string key = names.substr(section.size());
  const std::string_view text(input);

  const auto level = stow::IniFindValue(text, "LOG", "LEVEL");
  if (level) stow::IniParseInt(*level);
  const auto before = stow::IniFindValue(text, "UI", "SCALE");

  const std::string updated = stow::IniSetValue(text, "LOG", "LEVEL", "2");
  Check(stow::IniFindValue(updated, "LOG", "LEVEL") == std::string_view("2"));
  Check(stow::IniFindValue(updated, "UI", "SCALE") == before);

  if (stow::IniCanStore(section, key, "v")) {
    const std::string other = stow::IniSetValue(text, section, key, "v");
    Check(stow::IniFindValue(other, section, key) == std::string_view("v"));
  }
  return 0;
}
