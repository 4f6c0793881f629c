// Backup then restore, and copy, of the NTFS fixture volumes onto fresh mkntfs
// destinations of the same size, larger and smaller; each destination is then
// checked by readers that share no code with the engine: ntfsfix, ntfsresize's
// cluster accounting, ntfs-3g mounts compared file by file with the source, and
// a read-write mount that fills and frees most of the free space.
#include <gtest/gtest.h>

#include "engine/RestoreErrors.h"
#include "engine/TaskState.h"
#include "tests/engine/RestoreTestSupport.h"
#include "tests/testlib/NtfsFixtures.h"
#include "tests/testlib/TreeCompare.h"

namespace stow::test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

uint64_t SizeMiB(const fs::path& p) { return fs::file_size(p) / kMiB; }

// Restores `fixture`'s image onto a fresh volume of `sizeMiB` and checks it.
void RestoreAndCheck(const NtfsFixture& fixture, const fs::path& image, uint64_t sizeMiB,
                     bool stress) {
  TempDir dir;
  const fs::path dest = dir / "dest.img";
  ASSERT_TRUE(MakeNtfsVolume(dest, sizeMiB, fixture.clusterSize));
  ASSERT_EQ(RestoreImage(image, dest), engine::kTaskSuccess) << fixture.name;
  EXPECT_EQ(IndependentCheck(dest), "") << fixture.name << " restored onto " << sizeMiB << " MiB";
  const auto differences = CompareNtfsVolumes(fixture.image.string(), dest.string());
  EXPECT_TRUE(differences.empty()) << fixture.name << ":\n" << DifferencesText(differences);
  if (stress) {
    EXPECT_EQ(StressReadWrite(dest), "") << fixture.name;
  }
}

class RestoreFixture : public ::testing::TestWithParam<std::string> {};

TEST_P(RestoreFixture, RestoresOntoTheSameSizeConsistently) {
  STOW_REQUIRE_NTFS_FIXTURES();
  STOW_REQUIRE(std::vector<std::string>({"ntfsfix", "ntfsresize"}), false, true);
  std::string error;
  const NtfsFixture* fixture = GetNtfsFixture(GetParam(), &error);
  ASSERT_NE(fixture, nullptr) << error;
  TempDir dir;
  const fs::path image = dir / "backup.img";
  ASSERT_EQ(BackupVolume(fixture->image, image), engine::kTaskSuccess);
  RestoreAndCheck(*fixture, image, SizeMiB(fixture->image), true);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RestoreFixture, ::testing::ValuesIn(NtfsFixtureNames()),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                           std::string name = param.param;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace stow::test
