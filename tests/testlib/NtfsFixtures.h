// Real NTFS volumes for tests: image files made with mkntfs --fast and filled
// through the ntfs-3g FUSE mount, one per kind of content the engine must carry
// (many records, fragmented, sparse and compressed files, named streams, resident
// files, a large directory, non-ASCII names, a $MFT continued in an extension record).
//
// Each volume is built on first use and kept for the rest of the test process in
// a temporary folder removed at exit. The images are shared: a test that writes
// to a volume copies the image first (CopyNtfsFixture).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/testlib/TestUtil.h"

namespace stow::test {

struct NtfsFixture {
  std::string name;
  std::string description;
  fs::path image;  // read-only for tests; copy it before writing
  uint32_t clusterSize = 0;
  // Files the fixture is about, by role, as paths from the volume's root
  // ("/frag/a.bin"); e.g. "fragmented", "sparse", "compressed", "streams".
  std::map<std::string, std::string> files;
  // Regular files created in the volume (named streams not counted).
  uint64_t fileCount = 0;
};

// Empty when the fixtures can be built here; else why not (root, FUSE, a tool).
std::string NtfsFixturesMissing();

// Skips the test when the fixtures cannot be built here.
#define STOW_REQUIRE_NTFS_FIXTURES()                                      \
  do {                                                                    \
    const std::string stowMissing_ = ::stow::test::NtfsFixturesMissing(); \
    if (!stowMissing_.empty()) GTEST_SKIP() << stowMissing_;              \
  } while (0)

// The name of every fixture, in a fixed order.
const std::vector<std::string>& NtfsFixtureNames();

// The fixture of that name, built on first use. nullptr when it cannot be built;
// `error` then says why.
const NtfsFixture* GetNtfsFixture(const std::string& name, std::string* error = nullptr);

// Every fixture, built on first use; empty when one cannot be built.
std::vector<const NtfsFixture*> AllNtfsFixtures(std::string* error = nullptr);

// Copies a fixture's image to `target` (sparse where the source is); false on failure.
bool CopyNtfsFixture(const NtfsFixture& fixture, const fs::path& target);

// The inode (MFT record) number of a file of a volume, looked up through a
// read-only ntfs-3g mount; -1 when it cannot be found.
int64_t InodeOf(const fs::path& image, const std::string& pathInVolume);

}  // namespace stow::test
