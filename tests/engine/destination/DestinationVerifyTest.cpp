// The read-back of a verified copy or restore on a device in memory: ranges
// given out of order, far apart, side by side and longer than one read all
// compare; a change, a short device and a stop are each named.
#include "engine/destination/DestinationVerify.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "engine/core/TaskError.h"
#include "engine/image/ImageChecksums.h"
#include "engine/transfer/TaskState.h"
#include "platform/MemoryBlockDevice.h"

namespace stow::engine {
namespace {

constexpr uint64_t kMiB = 1ull << 20;

class ReadBack : public ::testing::Test {
 protected:
  ReadBack() : device_(64 * kMiB) {
    std::mt19937_64 random(7);
    std::vector<std::byte>& data = device_.Data();
    for (size_t at = 0; at < data.size(); at += sizeof(uint64_t)) {
      const uint64_t word = random();
      std::memcpy(data.data() + at, &word, sizeof word);
    }
  }

  WrittenRange Range(uint64_t offset, uint64_t length, uint64_t record) {
    return WrittenRange{offset, length,
                        Xxh3(std::span<const std::byte>(device_.Data().data() + offset, length)),
                        record};
  }

  TaskError Verify(std::vector<WrittenRange> ranges, std::string& detail) {
    VerifyRun run;
    run.stop = &stop_;
    run.done = &done_;
    run.task = "copy";
    return VerifyWrittenRanges(device_, std::move(ranges), run, detail);
  }

  platform::MemoryBlockDevice device_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> done_{0};
};

TEST_F(ReadBack, EveryArrangementOfRangesComparesAndAChangeIsNamed) {
  // Side by side, a gap a read covers, a gap it does not, one range longer
  // than a read (reads then take its length, 20 MiB), a range that no longer
  // fits the read of its neighbour, and the last bytes of the device; given
  // in no order.
  constexpr uint64_t kRead = 20 * kMiB;
  constexpr uint64_t kFarStart = 512 * 1024;
  const uint64_t straddling = kFarStart + kRead - 4096;
  const std::vector<WrittenRange> ranges = {
      Range(40 * kMiB, kRead, 90),      Range(4096, 4096, 11),
      Range(8192, 65536, 12),           Range(200 * 1024, 512, 13),
      Range(straddling, 8192, 16),      Range(kFarStart, kRead - 4096, 14),
      Range(64 * kMiB - 512, 512, 15)};
  uint64_t total = 0;
  for (const WrittenRange& r : ranges) total += r.length;
  std::string detail;
  EXPECT_EQ(Verify(ranges, detail), TaskError::kNone) << detail;
  EXPECT_EQ(done_.load(), total);

  // One bit of the range that begins a read of its own beside its neighbour.
  device_.Data()[straddling + 5000] ^= std::byte{1};
  EXPECT_EQ(Verify(ranges, detail), TaskError::kVerifyFailed);
  EXPECT_EQ(detail.substr(0, detail.find(';')),
            "Bytes " + std::to_string(straddling) + " to " + std::to_string(straddling + 8191) +
                " of the destination (data of MFT record 16 of the source) read back differently "
                "from what was written");
  EXPECT_NE(detail.find("run the copy again"), std::string::npos) << detail;
}

TEST_F(ReadBack, AShortDeviceAndAStopAreNamed) {
  std::vector<WrittenRange> ranges = {Range(kMiB, kMiB, 20)};
  ranges.push_back(WrittenRange{64 * kMiB - 512, 1024, 0, 21});  // runs past the end
  std::string detail;
  EXPECT_EQ(Verify(ranges, detail), TaskError::kVerifyFailed);
  EXPECT_NE(detail.find("Bytes " + std::to_string(64 * kMiB - 512) + " to " +
                        std::to_string(64 * kMiB + 511) +
                        " of the destination (data of MFT record 21 of the source) cannot be "
                        "read back: the device ends before it"),
            std::string::npos)
      << detail;

  device_.FailReads(1);
  EXPECT_EQ(Verify({Range(kMiB, kMiB, 20)}, detail), TaskError::kVerifyFailed);
  EXPECT_NE(detail.find("cannot be read back"), std::string::npos) << detail;

  stop_ = true;
  EXPECT_EQ(Verify({Range(kMiB, kMiB, 20)}, detail), TaskError::kManualStop);
}

}  // namespace
}  // namespace stow::engine
