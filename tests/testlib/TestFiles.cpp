// The test helpers that only need the C++ library: the same on Linux and in
// the cross build run under Wine.
#include <array>
#include <fstream>
#include <system_error>
#include <vector>

#include "tests/testlib/TestUtil.h"

namespace stow::test {

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void MakeSparseFile(const fs::path& path, uint64_t bytes) {
  { std::ofstream(path, std::ios::binary | std::ios::trunc); }
  fs::resize_file(path, bytes);
}

void DamageMftAndMirror(const fs::path& volume) {
  std::fstream file(volume, std::ios::binary | std::ios::in | std::ios::out);
  std::array<unsigned char, 512> boot{};
  file.read(reinterpret_cast<char*>(boot.data()), boot.size());
  const uint64_t cluster = static_cast<uint64_t>(boot[11] | (boot[12] << 8)) * uint64_t{boot[13]};
  auto le64 = [&](size_t at) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) v |= uint64_t{boot[at + i]} << (8 * i);
    return v;
  };
  const std::vector<char> zeros(4096, 0);
  for (const uint64_t lcn : {le64(48), le64(56)}) {
    file.seekp(static_cast<std::streamoff>(lcn * cluster));
    file.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
}

}  // namespace stow::test
