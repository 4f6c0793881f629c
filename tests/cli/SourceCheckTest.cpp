// What backup and copy do with sources that Windows and other drivers write
// and with damaged ones, end to end through stowline-cli on real volumes:
//   - file records in the older header layout (update sequence array at 0x2A,
//     no record-number field), which ntfs-3g reads, back up, restore and copy;
//   - a damaged source (an attribute past its record, a damaged run list, two
//     files naming one cluster, a run past the volume, a record in use without
//     its signature or torn between its blocks) is refused before anything is
//     written, naming the record: no image is left, a copy's destination keeps
//     every byte, and the source is never written;
//   - over every fixture and every damaged source, a backup either refuses or
//     its image restores to the same tree;
//   - a source mounted read-write is refused, a read-only mount is not.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "engine/disk/Disk.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/ntfs/RunList.h"
#include "platform/VolumeId.h"
#include "support/Bytes.h"
#include "tests/testlib/NtfsFixtures.h"
#include "tests/testlib/TestUtil.h"
#include "tests/testlib/TreeCompare.h"

namespace stow::test {
namespace {

namespace ntfs = engine::ntfs;

constexpr uint64_t kMiB = 1 << 20;
constexpr size_t kRecordBytes = 1024;
constexpr uint32_t kNewUsaOffset = 0x30;

std::string FileHash(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return Sha256Hex(data.str());
}

// The file records of a volume image in on-disk form, read and written where
// the $MFT's runs place them (a record may span clusters of two runs).
class MftRecords {
 public:
  explicit MftRecords(const fs::path& image) {
    ok_ = disk_.InitDisk(platform::VolumeId(image.string()), false) == engine::DiskResult::kOk &&
          disk_.Mft().LoadMftRecord();
  }
  bool Ok() const { return ok_; }
  uint64_t Count() const { return disk_.Mft().MftRecordCount(); }
  engine::CDisk& Disk() { return disk_; }

  bool Read(uint64_t n, std::vector<std::byte>& out) {
    out.assign(kRecordBytes, std::byte{0});
    return Transfer(disk_.Mft().MftRuns(), n * kRecordBytes, out.data(), false);
  }
  bool Write(uint64_t n, const std::vector<std::byte>& record) {
    return Transfer(disk_.Mft().MftRuns(), n * kRecordBytes, const_cast<std::byte*>(record.data()),
                    true);
  }
  // The $MFTMirr's copy of the first records: contiguous from its cluster.
  bool ReadMirror(uint64_t n, std::vector<std::byte>& out) {
    out.assign(kRecordBytes, std::byte{0});
    return Transfer(MirrorRuns(), n * kRecordBytes, out.data(), false);
  }
  bool WriteMirror(uint64_t n, const std::vector<std::byte>& record) {
    return Transfer(MirrorRuns(), n * kRecordBytes, const_cast<std::byte*>(record.data()), true);
  }

  // Reads record `n`, lets `edit` change it with the fix-up applied, and writes
  // it back in on-disk form.
  bool Edit(uint64_t n, const std::function<bool(std::vector<std::byte>&)>& edit) {
    std::vector<std::byte> record;
    if (!Read(n, record) || !ntfs::ApplyFixup(record) || !edit(record)) return false;
    return ntfs::UndoFixup(record) && Write(n, record);
  }

 private:
  std::vector<ntfs::DataRun> MirrorRuns() const {
    const uint64_t clusters =
        (4 * kRecordBytes + disk_.Device().ClusterSize() - 1) / disk_.Device().ClusterSize();
    return {ntfs::DataRun{0, clusters, disk_.Device().MftMirrCluster(), false}};
  }

  bool Transfer(const std::vector<ntfs::DataRun>& runs, uint64_t offset, std::byte* data,
                bool write) {
    std::vector<ntfs::VolumeExtent> pieces;
    ntfs::MapStreamRange(runs, disk_.Device().ClusterSize(), offset, kRecordBytes, pieces);
    uint64_t done = 0;
    for (const ntfs::VolumeExtent& piece : pieces) {
      const auto count = static_cast<uint32_t>(piece.length);
      std::byte* at = data + (piece.streamOffset - offset);
      const uint64_t sector = piece.volumeOffset / 512;
      const uint32_t moved = write ? disk_.Device().WritePointData(at, count, sector)
                                   : disk_.Device().ReadPointData(at, count, sector);
      if (moved != count) return false;
      done += count;
    }
    return done == kRecordBytes;
  }

  engine::CDisk disk_;
  bool ok_ = false;
};

// Moves the update sequence array of a record in on-disk form from 0x30 to
// 0x2A, where the older header layout keeps it: the array then covers the
// number field at 0x2C, and the bytes it left are cleared. The block ends are
// untouched, so the fix-up stays valid. False when the record is not in the
// newer layout.
bool ToOldLayout(std::vector<std::byte>& record) {
  ByteView view(record.data(), record.size());
  if (!ntfs::HasFileSignature(record) || view.U16(ntfs::kUsaOffsetOffset) != kNewUsaOffset) {
    return false;
  }
  const size_t bytes = 2 * size_t{view.U16(ntfs::kUsaCountOffset)};
  std::vector<std::byte> usa(record.begin() + kNewUsaOffset,
                             record.begin() + static_cast<std::ptrdiff_t>(kNewUsaOffset + bytes));
  std::fill_n(record.begin() + kNewUsaOffset, bytes, std::byte{0});
  std::copy(usa.begin(), usa.end(), record.begin() + ntfs::kOldLayoutUsaOffset);
  StoreLe16(&record[ntfs::kUsaOffsetOffset], static_cast<uint16_t>(ntfs::kOldLayoutUsaOffset));
  return true;
}

// Rewrites every record of the image (and the mirror's copies) to the older
// layout; the number of records rewritten, 0 on failure.
uint64_t ConvertToOldLayout(const fs::path& image) {
  MftRecords mft(image);
  if (!mft.Ok()) return 0;
  uint64_t converted = 0;
  std::vector<std::byte> record;
  for (uint64_t n = 0; n < mft.Count(); ++n) {
    if (!mft.Read(n, record)) return 0;
    if (!ToOldLayout(record)) continue;
    if (!mft.Write(n, record)) return 0;
    ++converted;
  }
  for (uint64_t n = 0; n < 4; ++n) {
    if (!mft.ReadMirror(n, record)) return 0;
    if (ToOldLayout(record) && !mft.WriteMirror(n, record)) return 0;
  }
  return converted;
}

// The first attribute of `type` in a record with the fix-up applied: its offset, 0 when none.
size_t FindAttribute(const std::vector<std::byte>& record, uint32_t type, bool nonResident) {
  ntfs::AttributeWalker walk(record);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (a.type == type && a.nonResident == nonResident) return a.offset;
  }
  return 0;
}

// The run list of the non-resident $DATA of a record: its offset in the record.
size_t DataRunList(const std::vector<std::byte>& record) {
  const size_t at = FindAttribute(record, ntfs::kAttrData, true);
  if (at == 0) return 0;
  return at + ByteView(record.data(), record.size()).U16(at + ntfs::kRunListOffsetOffset);
}

// A small volume filled through ntfs-3g: two files of equal size whose data
// lies in one run each, a resident file and a folder of small files.
const fs::path& BaseVolume() {
  static TempDir dir;
  static fs::path image;
  if (image.empty()) {
    const fs::path path = dir / "base.img";
    MakeSparseFile(path, 16 * kMiB);
    const CommandResult made = Run({"mkntfs", "--fast", "--force", "--quiet", "--cluster-size",
                                    "4096", "--label", "base", path.string()});
    EXPECT_EQ(made.status, 0) << made.output;
    {
      NtfsMount mount(path.string(), false);
      EXPECT_TRUE(mount.Ok()) << mount.Error();
      const CommandResult fill =
          Shell("set -e; cd " + Quote(mount.Path().string()) +
                "; head -c 65536 /dev/urandom > a.bin; head -c 65536 /dev/urandom > b.bin; "
                "echo small > c.txt; mkdir docs; i=0; while [ $i -lt 60 ]; do "
                "echo \"note $i\" > docs/n$i.txt; i=$((i+1)); done; "
                "head -c 300000 /dev/urandom > docs/big.bin");
      EXPECT_EQ(fill.status, 0) << fill.output;
    }
    image = path;
  }
  return image;
}

// A damaged source: how it was damaged and the record the refusal must name.
struct DamagedSource {
  std::string name;
  fs::path image;
  uint64_t record = 0;
  std::string expected;  // part of the refusal
};

// Builds one damaged copy of the base volume; `damage` edits it.
DamagedSource Damage(const fs::path& dir, const std::string& name, const std::string& file,
                     const std::string& expected,
                     const std::function<bool(MftRecords&, uint64_t)>& damage) {
  DamagedSource out{name, dir / (name + ".img"), 0, expected};
  fs::copy_file(BaseVolume(), out.image, fs::copy_options::overwrite_existing);
  const int64_t inode = InodeOf(out.image, file);
  EXPECT_GT(inode, 0) << file;
  out.record = static_cast<uint64_t>(inode);
  MftRecords mft(out.image);
  EXPECT_TRUE(mft.Ok());
  EXPECT_TRUE(damage(mft, out.record)) << name;
  return out;
}

std::vector<DamagedSource> DamagedSources(const fs::path& dir) {
  std::vector<DamagedSource> out;
  // The first attribute's length runs past the record.
  out.push_back(Damage(dir, "attribute-past-record", "/c.txt", "an attribute runs past",
                       [](MftRecords& mft, uint64_t n) {
                         return mft.Edit(n, [](std::vector<std::byte>& r) {
                           const size_t first =
                               ByteView(r.data(), r.size()).U16(ntfs::kFirstAttributeOffset);
                           StoreLe32(&r[first + ntfs::kAttrLengthOffset], 0x1000);
                           return true;
                         });
                       }));
  // A run header with no length bytes and nine offset bytes.
  out.push_back(Damage(dir, "damaged-run-list", "/b.bin", "run list is damaged",
                       [](MftRecords& mft, uint64_t n) {
                         return mft.Edit(n, [](std::vector<std::byte>& r) {
                           const size_t list = DataRunList(r);
                           if (list == 0) return false;
                           r[list] = std::byte{0x90};
                           return true;
                         });
                       }));
  // b.bin's run list names a.bin's clusters.
  out.push_back(
      Damage(dir, "overlapping-clusters", "/b.bin", "named twice", [](MftRecords& mft, uint64_t n) {
        std::vector<std::byte> a;
        const int64_t aRecord = InodeOf(BaseVolume(), "/a.bin");
        if (aRecord <= 0 || !mft.Read(static_cast<uint64_t>(aRecord), a) || !ntfs::ApplyFixup(a)) {
          return false;
        }
        // The later record is the one that names the clusters again.
        if (static_cast<uint64_t>(aRecord) > n) return false;
        const size_t aList = DataRunList(a);
        return aList != 0 && mft.Edit(n, [&](std::vector<std::byte>& b) {
          const size_t bList = DataRunList(b);
          // One run each, encoded alike: the bytes can be exchanged.
          if (bList == 0 || b[bList] != a[aList]) return false;
          const size_t size = 1 + (std::to_integer<size_t>(a[aList]) & 0x0F) +
                              (std::to_integer<size_t>(a[aList]) >> 4);
          std::copy_n(a.begin() + static_cast<std::ptrdiff_t>(aList), size,
                      b.begin() + static_cast<std::ptrdiff_t>(bList));
          return true;
        });
      }));
  // b.bin's run starts far past the volume's 4,096 clusters.
  out.push_back(
      Damage(dir, "run-past-volume", "/b.bin", "past the volume", [](MftRecords& mft, uint64_t n) {
        return mft.Edit(n, [](std::vector<std::byte>& r) {
          const size_t list = DataRunList(r);
          if (list == 0) return false;
          const size_t lengthBytes = std::to_integer<size_t>(r[list]) & 0x0F;
          const size_t offsetBytes = std::to_integer<size_t>(r[list]) >> 4;
          if (offsetBytes < 2) return false;
          const size_t at = list + 1 + lengthBytes;
          std::fill_n(r.begin() + static_cast<std::ptrdiff_t>(at), offsetBytes - 1,
                      std::byte{0xFF});
          r[at + offsetBytes - 1] = std::byte{0x7F};
          return true;
        });
      }));
  // A record in use (flag and $MFT bitmap) whose signature is gone.
  out.push_back(Damage(dir, "no-signature", "/a.bin", "no \"FILE\" signature",
                       [](MftRecords& mft, uint64_t n) {
                         std::vector<std::byte> r;
                         if (!mft.Read(n, r)) return false;
                         std::memcpy(r.data(), "BAAD", 4);
                         return mft.Write(n, r);
                       }));
  // A record torn between its blocks: the second block's end is not the sequence number.
  out.push_back(Damage(dir, "torn-record", "/docs/big.bin", "not written whole",
                       [](MftRecords& mft, uint64_t n) {
                         std::vector<std::byte> r;
                         if (!mft.Read(n, r)) return false;
                         r[1022] = ~r[1022];
                         return mft.Write(n, r);
                       }));
  return out;
}

std::vector<std::string> RequiredTools() { return {"mkntfs", "ntfs-3g", "ntfsinfo", "ntfsfix"}; }

class SourceChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    STOW_REQUIRE(RequiredTools(), false, true);
    STOW_REQUIRE_NTFS_FIXTURES();
  }

  // Backs `source` up into `image`; the command's result.
  static CommandResult Backup(const fs::path& source, const fs::path& image) {
    return RunCli({"backup", source.string(), image.string(), "--yes", "--quiet"});
  }

  // Restores `image` onto a fresh file as large as `source` and compares the trees.
  void ExpectRestoresEqual(const fs::path& source, const fs::path& image) {
    const fs::path restored = dir_ / "restored.img";
    // A nearly full source needs a destination larger than itself.
    const uint64_t needed = fs::file_size(image) + fs::file_size(image) / 10;
    MakeSparseFile(restored,
                   std::max<uint64_t>(fs::file_size(source), (needed + kMiB - 1) / kMiB * kMiB));
    const CommandResult r =
        RunCli({"restore", image.string(), restored.string(), "--yes", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.output;
    const auto differences = CompareNtfsVolumes(source.string(), restored.string());
    EXPECT_TRUE(differences.empty()) << DifferencesText(differences);
    fs::remove(restored);
  }

  // A destination file full of a pattern, so that any write shows in its hash.
  fs::path PatternDestination(const std::string& name, uint64_t bytes) {
    const fs::path path = dir_ / name;
    std::ofstream out(path, std::ios::binary);
    std::string block(kMiB, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + 3);
    for (uint64_t done = 0; done < bytes; done += block.size()) out << block;
    return path;
  }

  TempDir dir_;
};

TEST_F(SourceChecks, OldLayoutRecordsBackUpRestoreAndCopy) {
  const NtfsFixture* fixture = GetNtfsFixture("many-files");
  ASSERT_NE(fixture, nullptr);
  for (const fs::path& base : {fixture->image, BaseVolume()}) {
    SCOPED_TRACE(base.string());
    const fs::path old = dir_ / "old-layout.img";
    fs::copy_file(base, old, fs::copy_options::overwrite_existing);
    const uint64_t converted = ConvertToOldLayout(old);
    ASSERT_GT(converted, 16u);
    // The construction first: ntfs-3g reads every record of the older layout,
    // and finds the same tree as in the volume it was made from.
    {
      std::vector<std::byte> record;
      MftRecords mft(old);
      ASSERT_TRUE(mft.Ok());
      ASSERT_TRUE(mft.Read(5, record));
      EXPECT_EQ(ByteView(record.data(), record.size()).U16(ntfs::kUsaOffsetOffset), 0x2A);
    }
    const auto asRead = CompareNtfsVolumes(base.string(), old.string());
    ASSERT_TRUE(asRead.empty()) << DifferencesText(asRead);
    const std::string sourceHash = FileHash(old);

    const fs::path image = dir_ / "old.vmg";
    const CommandResult backup = Backup(old, image);
    ASSERT_EQ(backup.status, 0) << backup.output;
    // Its own $MFT, in the older layout, names exactly the blocks the image
    // holds, and its checksum file proves every byte of them.
    const CommandResult inspected = RunCli({"inspect", image.string(), "--verify", "--quiet"});
    EXPECT_EQ(inspected.status, 0) << inspected.output;
    EXPECT_NE(inspected.output.find("Contents:         ok"), std::string::npos) << inspected.output;
    ExpectRestoresEqual(old, image);

    const fs::path copy = dir_ / "copy.img";
    MakeSparseFile(copy, fs::file_size(old));
    const CommandResult copied =
        RunCli({"copy", old.string(), copy.string(), "--yes", "--quiet", "--no-repair"});
    ASSERT_EQ(copied.status, 0) << copied.output;
    const auto differences = CompareNtfsVolumes(old.string(), copy.string());
    EXPECT_TRUE(differences.empty()) << DifferencesText(differences);
    EXPECT_EQ(FileHash(old), sourceHash) << "the source was written";
    fs::remove(image);
    fs::remove(copy);
  }
}

// The invariant: whatever the source, a backup either refuses, leaving no
// image and naming the record, or its image restores to the same tree.
TEST_F(SourceChecks, EveryBackupRefusesOrRestoresToTheSameTree) {
  std::string error;
  const auto fixtures = AllNtfsFixtures(&error);
  ASSERT_FALSE(fixtures.empty()) << error;
  std::vector<DamagedSource> sources;
  for (const NtfsFixture* f : fixtures) sources.push_back({f->name, f->image, 0, ""});
  const fs::path old = dir_ / "old-layout-source.img";
  fs::copy_file(BaseVolume(), old);
  ASSERT_GT(ConvertToOldLayout(old), 0u);
  sources.push_back({"old-layout", old, 0, ""});
  std::vector<DamagedSource> damaged = DamagedSources(dir_.Path());
  const size_t damagedCount = damaged.size();
  for (DamagedSource& d : damaged) sources.push_back(std::move(d));

  size_t refused = 0;
  size_t restored = 0;
  for (const DamagedSource& source : sources) {
    SCOPED_TRACE(source.name);
    const std::string hash = FileHash(source.image);
    const fs::path image = dir_ / (source.name + ".vmg");
    const CommandResult r = Backup(source.image, image);
    EXPECT_EQ(FileHash(source.image), hash) << "the source was written";
    if (r.status != 0) {
      ++refused;
      EXPECT_FALSE(fs::exists(image)) << "a refused backup left an image";
      EXPECT_NE(r.output.find("MFT record"), std::string::npos) << r.output;
      EXPECT_NE(r.output.find("chkdsk"), std::string::npos) << r.output;
    } else {
      ++restored;
      ExpectRestoresEqual(source.image, image);
      fs::remove(image);
    }
    if (!source.expected.empty()) {
      // A damaged source is refused, and the refusal says which record and why.
      EXPECT_NE(r.status, 0) << r.output;
      EXPECT_NE(r.output.find("MFT record " + std::to_string(source.record)), std::string::npos)
          << r.output;
      EXPECT_NE(r.output.find(source.expected), std::string::npos) << r.output;
    }
  }
  EXPECT_EQ(refused, damagedCount);
  EXPECT_EQ(restored, fixtures.size() + 1);
}

TEST_F(SourceChecks, CopyFromADamagedSourceRefusesBeforeTheFormat) {
  const fs::path destination = PatternDestination("destination.img", 20 * kMiB);
  const std::string before = FileHash(destination);
  for (const DamagedSource& source : DamagedSources(dir_.Path())) {
    SCOPED_TRACE(source.name);
    const std::string sourceHash = FileHash(source.image);
    const CommandResult r =
        RunCli({"copy", source.image.string(), destination.string(), "--yes", "--quiet"});
    EXPECT_NE(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("MFT record " + std::to_string(source.record)), std::string::npos)
        << r.output;
    EXPECT_EQ(FileHash(destination), before) << "the destination was written";
    EXPECT_EQ(FileHash(source.image), sourceHash) << "the source was written";
  }
}

TEST_F(SourceChecks, ASourceMountedReadWriteIsRefusedAReadOnlyOneIsNot) {
  const fs::path source = dir_ / "mounted.img";
  fs::copy_file(BaseVolume(), source);
  const fs::path image = dir_ / "mounted.vmg";
  const fs::path destination = PatternDestination("destination.img", 16 * kMiB);
  const std::string before = FileHash(destination);
  {
    NtfsMount mount(source.string(), false);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    const CommandResult backup = Backup(source, image);
    EXPECT_NE(backup.status, 0) << backup.output;
    EXPECT_NE(backup.output.find("mounted read-write"), std::string::npos) << backup.output;
    EXPECT_NE(backup.output.find("remount,ro"), std::string::npos) << backup.output;
    EXPECT_FALSE(fs::exists(image));
    const CommandResult copy =
        RunCli({"copy", source.string(), destination.string(), "--yes", "--quiet"});
    EXPECT_NE(copy.status, 0) << copy.output;
    EXPECT_NE(copy.output.find("mounted read-write"), std::string::npos) << copy.output;
    EXPECT_EQ(FileHash(destination), before) << "the destination was written";
  }
  NtfsMount readOnly(source.string(), true);
  ASSERT_TRUE(readOnly.Ok()) << readOnly.Error();
  const CommandResult backup = Backup(source, image);
  EXPECT_EQ(backup.status, 0) << backup.output;
  const CommandResult copy =
      RunCli({"copy", source.string(), destination.string(), "--yes", "--quiet", "--no-repair"});
  EXPECT_EQ(copy.status, 0) << copy.output;
  readOnly.Unmount();
  ExpectRestoresEqual(source, image);
  const auto differences = CompareNtfsVolumes(source.string(), destination.string());
  EXPECT_TRUE(differences.empty()) << DifferencesText(differences);
}

TEST_F(SourceChecks, HelpSaysWhatHappensToAMountedOrDamagedSource) {
  for (const char* command : {"backup", "copy"}) {
    const CommandResult r = RunCli({command, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("mount -o remount,ro"), std::string::npos) << command;
    EXPECT_NE(r.output.find("chkdsk"), std::string::npos) << command;
  }
}

}  // namespace
}  // namespace stow::test
