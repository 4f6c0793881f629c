// stowline-cli inspect on small images written by the engine's ImageWriter:
// the summary of a sound image, and damaged ones named by their fault offset.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "engine/image/ImageChecksums.h"
#include "engine/image/ImageFormat.h"
#include "platform/Files.h"
#include "support/Bytes.h"
#include "tests/testlib/TestUtil.h"

namespace stow::engine {
namespace {

constexpr ImageRetry kNoWait{1, std::chrono::milliseconds(0)};
// Block offsets of the image below.
constexpr uint64_t kBlock2 = 40 + 40 + 8192, kBlock3 = kBlock2 + 40;

// A file record in on-disk form: "FILE", its number, in use, its update
// sequence (number 1) at 0x30, and one non-resident attribute of `type` with
// `instance`, allocated `allocated` bytes, whose run list is `runs`.
void PutRecord(std::byte* r, uint32_t number, uint32_t type, uint16_t instance, uint64_t allocated,
               std::initializer_list<uint8_t> runs) {
  std::memset(r, 0, 1024);
  std::memcpy(r, "FILE", 4);
  StoreLe16(&r[0x04], 0x30);  // update sequence array
  StoreLe16(&r[0x06], 3);     // the sequence number and one entry per 512-byte block
  StoreLe16(&r[0x14], 0x38);  // first attribute
  StoreLe16(&r[0x16], 1);     // in use
  StoreLe32(&r[0x18], 0x38 + 0x48 + 8);
  StoreLe32(&r[0x1C], 1024);
  StoreLe32(&r[0x2C], number);
  std::byte* a = r + 0x38;
  StoreLe32(&a[0], type);
  StoreLe32(&a[4], 0x48);
  a[8] = std::byte{1};
  StoreLe16(&a[14], instance);
  StoreLe64(&a[24], allocated / 4096 - 1);  // last VCN
  StoreLe16(&a[32], 0x40);                  // run list
  StoreLe64(&a[40], allocated);
  StoreLe64(&a[48], allocated);
  StoreLe64(&a[56], allocated);
  std::byte* run = a + 0x40;
  for (const uint8_t b : runs) *run++ = std::byte{b};
  StoreLe32(&r[0x38 + 0x48], 0xFFFFFFFF);
  // The update sequence: block ends hold the number, the array their bytes (zeros).
  StoreLe16(&r[0x30], 1);
  StoreLe16(&r[0x1FE], 1);
  StoreLe16(&r[0x3FE], 1);
}

// The first run of a $MFT of 8 records in two 4 KiB clusters: record 0 with its
// unnamed $DATA (instance 1, one run of 2 clusters at cluster 16) and record 5,
// whose $DATA (instance 2) is a sparse run of 16 clusters and one of 1 cluster.
// The other records' bytes are a pattern without the "FILE" signature.
std::vector<std::byte> FirstRun() {
  std::vector<std::byte> run(8192, std::byte{0x5A});
  PutRecord(run.data(), 0, 0x80, 1, 8192, {0x11, 0x02, 0x10, 0x00});
  PutRecord(run.data() + 5 * 1024, 5, 0x80, 2, 17 * 4096, {0x01, 0x10, 0x11, 0x01, 0x20, 0x00});
  return run;
}

class InspectCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (dir_ / "small.vmg").string();
    std::unique_ptr<platform::BlockDevice> file;
    ASSERT_EQ(platform::CreateRegularFile(path_, file), 0);
    ImageWriter w(*file, kNoWait);
    w.FeedChecksums(&sums_);
    ASSERT_EQ(w.WriteHeader(ImageHeader{'C', 1, 4096}), kImageWriteOk);
    const auto run = FirstRun();
    ASSERT_EQ(w.Append(ImageChunk{0, 1, 0, 8192, 0, 8192, 0, false}, run), kImageWriteOk);
    ASSERT_EQ(w.Append(ImageChunk{5, 2, 0, 65536, 0, 0, 0, false}, {}), kImageWriteOk);
    ASSERT_EQ(w.Append(ImageChunk{5, 2, 1, 4096, 0, 4096, 0, false}, run), kImageWriteOk);
    ASSERT_EQ(w.Finish(), kImageWriteOk);
  }

  // Writes the checksum file of the sound image beside `image`, with one byte
  // changed when `at` is given.
  void WriteSums(const std::string& image, long at = -1) {
    std::vector<std::byte> bytes = sums_.Finish().Encode();
    if (at >= 0) bytes[static_cast<size_t>(at)] ^= std::byte{0x01};
    std::ofstream(ChecksumPathFor(image), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }

  // A copy of the image with `length` bytes kept and one byte changed.
  std::string Damaged(const std::string& name, uint64_t length, uint64_t at = 0,
                      std::byte value = std::byte{0}) {
    std::ifstream in(path_, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes.resize(length);
    if (at != 0) bytes[at] = static_cast<char>(value);
    const std::string out = (dir_ / name).string();
    std::ofstream(out, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(length));
    return out;
  }

  test::TempDir dir_;
  std::string path_;
  ChecksumBuilder sums_;
};

TEST_F(InspectCommand, SummarisesASoundImage) {
  const test::CommandResult text = test::RunCli({"inspect", path_});
  ASSERT_EQ(text.status, 0) << text.output;
  for (const char* line :
       {"Source letter:    C", "Windows system:   yes", "Cluster size:     4096 bytes",
        "Marker:           0xFFFF", "Blocks:           3 (2 with data, 1 sparse)",
        "Data bytes:       12288", "MFT records:      8", "Structure:        ok"}) {
    EXPECT_NE(text.output.find(line), std::string::npos) << line << "\n" << text.output;
  }

  const test::CommandResult json = test::RunCli({"inspect", "--json", path_});
  ASSERT_EQ(json.status, 0) << json.output;
  for (const char* field :
       {"\"letter\": \"C\"", "\"clusterSize\": 4096", "\"blocks\": 3", "\"sparseBytes\": 65536",
        "\"recordCount\": 8", "\"firstMissingRecord\": null", "\"ok\": true", "\"fault\": null"}) {
    EXPECT_NE(json.output.find(field), std::string::npos) << field << "\n" << json.output;
  }
}

TEST_F(InspectCommand, NamesTheOffsetOfTheFirstFault) {
  const uint64_t size = kBlock3 + 40 + 4096;
  const struct {
    std::string image;
    const char* offset;
    const char* kind;
  } cases[] = {
      {Damaged("marker.vmg", size, kBlock2 + 39, std::byte{0x00}), "offset 8272", "bad-marker"},
      {Damaged("data.vmg", 40 + 40 + 100), "offset 40", "data-truncated"},
      {Damaged("record.vmg", kBlock3 + 12), "offset 8312", "truncated-record"},
      {Damaged("sequence.vmg", size, kBlock3 + 16, std::byte{9}), "offset 8312", "bad-sequence"},
      {Damaged("header.vmg", size, 38, std::byte{0x12}), "offset 38", "bad-header-marker"},
      {Damaged("tiny.vmg", 20), "offset 0", "no-header"},
  };
  for (const auto& c : cases) {
    const test::CommandResult r = test::RunCli({"inspect", c.image});
    EXPECT_EQ(r.status, 1) << c.image << "\n" << r.output;
    EXPECT_NE(r.output.find("is damaged"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(c.offset), std::string::npos) << c.offset << "\n" << r.output;
    const test::CommandResult json = test::RunCli({"inspect", c.image, "--json"});
    EXPECT_EQ(json.status, 1);
    EXPECT_NE(json.output.find(std::string("\"kind\": \"") + c.kind + "\""), std::string::npos)
        << json.output;
  }
}

TEST_F(InspectCommand, FirstBlockWithoutAFileRecordIsAFault) {
  const std::string image = Damaged("nofile.vmg", kBlock3 + 40 + 4096, 80 + 0x38, std::byte{0x30});
  const test::CommandResult r = test::RunCli({"inspect", image});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("offset 80"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("MFT records:      (not available)"), std::string::npos) << r.output;
}

TEST_F(InspectCommand, VerifyFindsTheFirstBadBlockOrSaysTheContentsAreUnproved) {
  const uint64_t size = kBlock3 + 40 + 4096;
  WriteSums(path_);
  const test::CommandResult sound = test::RunCli({"inspect", path_, "--verify"});
  ASSERT_EQ(sound.status, 0) << sound.output;
  EXPECT_NE(sound.output.find("Contents:         ok"), std::string::npos) << sound.output;
  const test::CommandResult soundJson = test::RunCli({"inspect", path_, "--verify", "--json"});
  ASSERT_EQ(soundJson.status, 0) << soundJson.output;
  EXPECT_NE(soundJson.output.find("\"verify\": {\"status\": \"ok\""), std::string::npos)
      << soundJson.output;

  // Bytes the structure check cannot see: each named by its block.
  const struct {
    std::string image;
    const char* names;
  } cases[] = {
      {Damaged("h.vmg", size, 12, std::byte{0x77}), "the image header at offset 0"},
      {Damaged("r.vmg", size, kBlock2 + 35, std::byte{0x09}), "file record 5 at offset 8272"},
      {Damaged("d.vmg", size, kBlock3 + 40 + 100, std::byte{0x33}), "file record 5 at offset 8312"},
  };
  for (const auto& c : cases) {
    WriteSums(c.image);
    const test::CommandResult r = test::RunCli({"inspect", c.image, "--verify"});
    EXPECT_EQ(r.status, 1) << c.image << "\n" << r.output;
    EXPECT_NE(r.output.find("Structure:        ok"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("failed verification"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(c.names), std::string::npos) << c.names << "\n" << r.output;
    const test::CommandResult json = test::RunCli({"inspect", c.image, "--verify", "--json"});
    EXPECT_EQ(json.status, 1);
    EXPECT_NE(json.output.find("\"status\": \"mismatch\""), std::string::npos) << json.output;
  }

  // A damaged checksum file is a fault of its own; none at all leaves the contents unproved.
  const std::string copy = Damaged("s.vmg", size);
  WriteSums(copy, 70);
  const test::CommandResult damaged = test::RunCli({"inspect", copy, "--verify"});
  EXPECT_EQ(damaged.status, 1) << damaged.output;
  EXPECT_NE(damaged.output.find("checksum file"), std::string::npos) << damaged.output;
  const std::string bare = Damaged("n.vmg", size);
  const test::CommandResult none = test::RunCli({"inspect", bare, "--verify"});
  EXPECT_EQ(none.status, 0) << none.output;
  EXPECT_NE(none.output.find("cannot be verified: no checksum file beside the image"),
            std::string::npos)
      << none.output;
  const test::CommandResult noneJson = test::RunCli({"inspect", bare, "--verify", "--json"});
  EXPECT_NE(noneJson.output.find("\"status\": \"no-checksum-file\""), std::string::npos)
      << noneJson.output;
}

TEST_F(InspectCommand, UsageErrors) {
  EXPECT_EQ(test::RunCli({"inspect"}).status, 2);
  EXPECT_EQ(test::RunCli({"inspect", path_, "--bogus"}).status, 2);
  EXPECT_EQ(test::RunCli({"inspect", path_, path_}).status, 2);
  const test::CommandResult missing = test::RunCli({"inspect", (dir_ / "none.vmg").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.output.find("cannot open"), std::string::npos);
  EXPECT_EQ(test::RunCli({"inspect", "--help"}).status, 0);
}

}  // namespace
}  // namespace stow::engine
