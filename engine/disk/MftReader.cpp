// MftReader, the MFT reader over a DiskDevice: the volume checks, record 0 and
// the $MFT's runs, and the entry list with its totals. The record cache is in
// MftRecordCache.cpp.
#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/disk/MftReader.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/ntfs/RunList.h"
#include "support/Bytes.h"
#include "support/Enums.h"
#include "support/Format.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

constexpr size_t kOemIdOffset = 3;
constexpr char kNtfsOemId[] = "NTFS    ";
constexpr size_t kOemIdSize = sizeof(kNtfsOemId) - 1;

// Clusters per file record: a value of 128 or more is an exponent, 2^(256 - v) bytes.
constexpr uint32_t kRecordSizeExponentFrom = 128;
constexpr uint32_t kRecordSizeExponentTo = 255;
constexpr uint32_t kRecordSizeExponentBase = 256;
constexpr uint32_t kMaxRecordSizeShift = 31;

constexpr uint64_t kBadClusRecord = 8;
// Totals are counted in 512-byte sectors whatever the volume's sector size.
constexpr uint64_t kTotalSectorBytes = 512;
// A $MFT continued through more extension records than this is refused.
constexpr size_t kMaxMftExtents = 1024;
// ReadFileRecord takes 32-bit record numbers.
constexpr uint64_t kMaxRecords = uint64_t{UINT32_MAX} + 1;

uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

uint64_t SectorsFor(uint64_t bytes) {
  return bytes / kTotalSectorBytes + (bytes % kTotalSectorBytes != 0 ? 1 : 0);
}

uint64_t RunEnd(const std::vector<ntfs::DataRun>& runs) {
  return runs.empty() ? 0 : runs.back().vcn + runs.back().length;
}

// The entry of one fetched record: its header fields and, for a record in use, a
// copy of each attribute. Non-resident attributes add their allocated size to
// `total`, except those of $BadClus, whose $Bad stream spans the whole volume.
FileEntry CopyRecord(Bytes record, uint32_t index, bool nonResidentOnly, uint64_t& total) {
  FileEntry entry;
  // A record is known by its position: headers of the older layout carry no number.
  entry.recordNumber = index;
  entry.bytesInUse = ntfs::BytesInUse(record);
  // A record that is not in use keeps the attributes of a deleted file; its runs
  // name clusters that are free or belong to other files by now.
  if (!ntfs::HasFileSignature(record) || !ntfs::RecordInUse(record)) return entry;
  ntfs::AttributeWalker walk(record);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (nonResidentOnly && !a.nonResident) continue;
    entry.attributes.emplace_back(a.bytes.begin(), a.bytes.end());
    ntfs::NonResidentHeader header;
    if (entry.recordNumber == kBadClusRecord || !ntfs::ReadNonResidentHeader(a.bytes, header)) {
      continue;
    }
    total = SaturatingAdd(total, SectorsFor(header.allocatedSize));
  }
  if (walk.End() != ntfs::WalkEnd::kEndMarker) {
    LogDebug("BuildEntryList: record %u: %s", index, ntfs::WalkEndText(walk.End()));
  }
  return entry;
}

}  // namespace

// --- Volume checks ---------------------------------------------------------

uint32_t MftReader::ComputeFileRecordSize() const {
  const uint32_t v = device_.ClustersPerFileRecordRaw();
  if (v >= kRecordSizeExponentFrom) {
    if (v > kRecordSizeExponentTo) return 0;
    const uint32_t shift = kRecordSizeExponentBase - v;
    return shift > kMaxRecordSizeShift ? 0 : uint32_t{1} << shift;
  }
  const uint64_t size = uint64_t{v} * device_.SectorsPerCluster() * device_.BytesPerSector();
  return size > UINT32_MAX ? 0 : static_cast<uint32_t>(size);
}

uint64_t MftReader::VolumeClusters() const {
  const uint8_t perCluster = device_.SectorsPerCluster();
  if (perCluster == 0 || !device_.IsOpen()) return 0;
  // A device shorter than its boot sector claims holds only what it holds.
  const uint64_t sectors =
      std::min(device_.TotalSectors(), device_.Device()->Size() / kDefaultSectorSize);
  return sectors / perCluster;
}

DiskResult MftReader::CheckNtfsVolume(std::string* why) const {
  auto refuse = [why](DiskResult result, std::string text) {
    if (why) *why = std::move(text);
    return result;
  };
  if (!device_.IsOpen()) return refuse(DiskResult::kNoDevice, "no volume is open");
  if (std::memcmp(&device_.BootSector()[kOemIdOffset], kNtfsOemId, kOemIdSize) != 0) {
    return refuse(DiskResult::kUnsupportedVolume,
                  "not an NTFS volume (the boot sector has no \"NTFS\" id)");
  }
  if (device_.BytesPerSector() != kDefaultSectorSize) {
    return refuse(
        DiskResult::kUnsupportedVolume,
        FormatString("the volume has %u-byte sectors; only 512-byte sectors are supported",
                     unsigned{device_.BytesPerSector()}));
  }
  const unsigned perCluster = device_.SectorsPerCluster();
  if (perCluster == 0 || (perCluster & (perCluster - 1)) != 0) {
    return refuse(
        DiskResult::kUnsupportedVolume,
        FormatString("the boot sector gives %u sectors per cluster, which is not a power of two",
                     perCluster));
  }
  const uint32_t recordSize = ComputeFileRecordSize();
  if (recordSize != kFileRecordSize) {
    return refuse(
        DiskResult::kUnsupportedVolume,
        FormatString("the volume's file records are %u bytes (boot sector byte 64 = 0x%x); "
                     "only 1,024-byte file records are supported",
                     recordSize, device_.ClustersPerFileRecordRaw()));
  }
  const uint64_t clusters = VolumeClusters();
  if (device_.MftCluster() >= clusters) {
    return refuse(
        DiskResult::kUnsupportedVolume,
        FormatString("the $MFT cluster %" PRIu64 " lies outside the volume (%" PRIu64 " clusters)",
                     device_.MftCluster(), clusters));
  }
  if (device_.MftMirrCluster() >= clusters) {
    return refuse(DiskResult::kUnsupportedVolume,
                  FormatString("the $MFTMirr cluster %" PRIu64 " lies outside the volume (%" PRIu64
                               " clusters)",
                               device_.MftMirrCluster(), clusters));
  }
  return DiskResult::kOk;
}

// --- Record 0 and the $MFT's runs -----------------------------------------

bool MftReader::LoadMftRecord() {
  std::string why;
  mftRuns_.clear();
  mftDataSize_ = 0;
  mftRecord_.clear();
  if (CheckNtfsVolume(&why) != DiskResult::kOk) {
    LogLess("LoadMftRecord: volume refused: %s", why.c_str());
    return false;
  }
  fileRecordSize_ = ComputeFileRecordSize();
  std::vector<std::byte> record(fileRecordSize_);
  const uint64_t sector = device_.MftCluster() * device_.SectorsPerCluster();
  if (!RangeFits(VolumeClusters() * device_.ClusterSize(), sector * kDefaultSectorSize,
                 fileRecordSize_)) {
    LogLess("LoadMftRecord: record 0 lies past the end of the volume");
    return false;
  }
  if (device_.ReadPointData(record.data(), fileRecordSize_, sector) != fileRecordSize_) {
    LogLess("LoadMftRecord: record 0 cannot be read");
    return false;
  }
  if (!ntfs::ApplyFixup(record) || !ntfs::HasFileSignature(record)) {
    LogLess("LoadMftRecord: record 0 is damaged (no \"FILE\" signature or a bad update sequence)");
    return false;
  }
  mftRecord_ = std::move(record);
  if (!LoadMftRuns()) {
    mftRecord_.clear();
    mftRuns_.clear();
    mftDataSize_ = 0;
    return false;
  }
  return true;
}

namespace {

// Every run of the $MFT must name clusters of this volume.
bool RunsInsideVolume(const std::vector<ntfs::DataRun>& runs, uint64_t clusters) {
  return std::all_of(runs.begin(), runs.end(), [clusters](const ntfs::DataRun& run) {
    return !run.sparse && run.lcn < clusters && run.length <= clusters - run.lcn;
  });
}

constexpr EnumLabel<ntfs::MftDataError> kMftDataErrorLabels[] = {
    {ntfs::MftDataError::kNone, "no error"},
    {ntfs::MftDataError::kNoDataAttribute, "record 0 has no readable unnamed $DATA attribute"},
    {ntfs::MftDataError::kBadRunList, "the $DATA run list of record 0 is damaged"},
    {ntfs::MftDataError::kNotFirstExtent,
     "the $DATA attribute of record 0 does not start at cluster 0"},
};

const char* MftDataErrorText(ntfs::MftDataError error) {
  return LabelOf(kMftDataErrorLabels, error);
}

}  // namespace

bool MftReader::LoadMftRuns() {
  ntfs::MftData data;
  const ntfs::MftDataError error = ntfs::FindMftData(mftRecord_, data);
  if (error != ntfs::MftDataError::kNone || !data.nonResident) {
    LogLess("LoadMftRecord: %s", error != ntfs::MftDataError::kNone
                                     ? MftDataErrorText(error)
                                     : "the $MFT's data is resident and holds no records");
    return false;
  }
  if (!RunsInsideVolume(data.runs, VolumeClusters())) {
    LogLess("LoadMftRecord: the $MFT's runs name clusters outside the volume");
    return false;
  }
  mftRuns_ = std::move(data.runs);
  mftDataSize_ = data.dataSize;
  const uint64_t clusterSize = device_.ClusterSize();
  const uint64_t needed = mftDataSize_ / clusterSize + (mftDataSize_ % clusterSize != 0 ? 1 : 0);
  // A $MFT in too many pieces for record 0 continues in extension records named by
  // its attribute list; without them the records past the first extent are lost.
  return RunEnd(mftRuns_) >= needed || FollowMftAttributeList(needed);
}

bool MftReader::ReadStream(const std::vector<ntfs::DataRun>& runs, uint64_t offset, std::byte* out,
                           uint64_t length) {
  std::vector<ntfs::VolumeExtent> pieces;
  ntfs::MapStreamRange(runs, device_.ClusterSize(), offset, length, pieces);
  uint64_t covered = offset;
  for (const ntfs::VolumeExtent& piece : pieces) {
    if (piece.streamOffset != covered || piece.length > UINT32_MAX) return false;
    const auto count = static_cast<uint32_t>(piece.length);
    if (device_.ReadPointData(out + (piece.streamOffset - offset), count,
                              piece.volumeOffset / device_.AddressingSectorSize()) != count) {
      return false;
    }
    covered += piece.length;
  }
  return covered == offset + length;
}

bool MftReader::ReadMftRecordAt(uint64_t record, std::vector<std::byte>& out) {
  out.assign(kFileRecordSize, std::byte{0});
  return record < kMaxRecords &&
         ReadStream(mftRuns_, record * kFileRecordSize, out.data(), out.size()) &&
         ntfs::ApplyFixup(out) && ntfs::HasFileSignature(out) &&
         ntfs::RecordNumberAgrees(out, record);
}

bool MftReader::FollowMftAttributeList(uint64_t neededClusters) {
  auto fail = [&](const char* why) {
    LogLess("LoadMftRecord: the $MFT's runs cover %" PRIu64 " of its %" PRIu64 " clusters: %s",
            RunEnd(mftRuns_), neededClusters, why);
    return false;
  };
  Bytes listAttribute;
  ntfs::AttributeWalker walk(mftRecord_);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (a.type == ntfs::kAttrAttributeList) {
      listAttribute = a.bytes;
      break;
    }
  }
  if (listAttribute.empty()) return fail("record 0 has no attribute list");

  std::vector<std::byte> value;
  Bytes resident;
  ntfs::NonResidentHeader header;
  if (ntfs::ResidentValue(listAttribute, resident)) {
    value.assign(resident.begin(), resident.end());
  } else {
    std::vector<ntfs::DataRun> listRuns;
    if (!ntfs::ReadNonResidentHeader(listAttribute, header) ||
        header.dataSize > ntfs::kMaxAttributeListSize ||
        ntfs::DecodeAttributeRuns(listAttribute, listRuns) != ntfs::RunListError::kNone ||
        !RunsInsideVolume(listRuns, VolumeClusters())) {
      return fail("its attribute list is damaged");
    }
    value.resize(static_cast<size_t>(header.dataSize));
    if (!ReadStream(listRuns, 0, value.data(), value.size())) {
      return fail("its attribute list cannot be read");
    }
  }
  std::vector<ntfs::AttributeListEntry> entries;
  if (!ntfs::ParseAttributeList(value, entries)) return fail("its attribute list is damaged");

  size_t extents = 0;
  std::vector<std::byte> record;
  for (const ntfs::AttributeListEntry& entry : entries) {
    if (entry.type != ntfs::kAttrData || entry.nameLength != 0) continue;
    const uint64_t end = RunEnd(mftRuns_);
    if (entry.lowestVcn < end) continue;  // the extent in record 0, or one already read
    if (entry.lowestVcn > end) return fail("its extents leave a gap");
    if (++extents > kMaxMftExtents) return fail("too many extents");
    Bytes attribute;
    std::vector<ntfs::DataRun> runs;
    if (!ReadMftRecordAt(entry.recordNumber, record) ||
        !ntfs::FindExtent(record, ntfs::kAttrData, entry.lowestVcn, attribute) ||
        ntfs::DecodeAttributeRuns(attribute, runs) != ntfs::RunListError::kNone || runs.empty() ||
        !RunsInsideVolume(runs, VolumeClusters())) {
      return fail("an extension record cannot be read or is damaged");
    }
    mftRuns_.insert(mftRuns_.end(), runs.begin(), runs.end());
  }
  return RunEnd(mftRuns_) >= neededClusters || fail("its attribute list names too few extents");
}

uint64_t MftReader::MftRecordCount() const {
  if (mftRecord_.empty() || fileRecordSize_ == 0) return 0;
  const uint64_t clusterSize = device_.ClusterSize();
  const uint64_t clusters = VolumeClusters();
  // The data size comes from the disk; no more records exist than the runs hold and
  // the volume can hold, which keeps a hostile size from driving the walk.
  const uint64_t held = std::min(RunEnd(mftRuns_), clusters) * clusterSize / fileRecordSize_;
  return std::min({mftDataSize_ / fileRecordSize_, held, kMaxRecords});
}

// --- The entry list --------------------------------------------------------

uint64_t MftReader::BuildEntryList(uint64_t& totalSectors, bool nonResidentOnly, uint64_t limit) {
  totalSectors = 0;
  entries_.clear();
  unreadRecords_ = 0;
  if (!LoadMftRecord()) {
    LogLess("BuildEntryList: the $MFT cannot be read; no records visited");
    return 0;
  }
  const uint64_t count = std::min(limit != 0 ? limit : MftRecordCount(), kMaxRecords);
  for (uint64_t i = 0; i < count; ++i) {
    const auto index = static_cast<uint32_t>(i);
    const std::byte* record = ReadFileRecord(index, false, true, false);
    if (record == nullptr) {
      // An unused record is answered from a loaded window; a slot that was not
      // read whole is a record lost to a read failure.
      if (windowBase_ != i - i % kRecordCacheRecords || !windowLoaded_[i % kRecordCacheRecords]) {
        ++unreadRecords_;
      }
      entries_.push_back(FileEntry{i, 0, {}});
      continue;
    }
    FileEntry entry =
        CopyRecord(Bytes(record, kFileRecordSize), index, nonResidentOnly, totalSectors);
    if (nonResidentOnly && entry.attributes.empty()) continue;
    entries_.push_back(std::move(entry));
  }
  return count;
}

}  // namespace stow::engine
