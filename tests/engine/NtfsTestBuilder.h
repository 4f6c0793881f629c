// Small NTFS structures built byte by byte for unit tests: file records with
// resident and non-resident attributes, encoded run lists, boot sectors and
// in-memory volumes whose $MFT lies in chosen runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/disk/Disk.h"
#include "engine/ntfs/FileRecord.h"
#include "platform/MemoryBlockDevice.h"
#include "support/Bytes.h"

namespace stow::engine::testing {

using Buffer = std::vector<std::byte>;

inline Buffer ToBuffer(std::initializer_list<unsigned> values) {
  Buffer out;
  for (unsigned v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

// A run to encode: `lcn` < 0 makes it sparse.
struct PlannedRun {
  uint64_t length;
  int64_t lcn;
};

// Encodes runs with the shortest length and offset fields, ending in a 0 byte.
inline Buffer EncodeRuns(const std::vector<PlannedRun>& runs) {
  Buffer out;
  int64_t previous = 0;
  auto bytesFor = [](uint64_t v, bool isSigned) {
    size_t n = 1;
    while (n < 8) {
      if (!isSigned && (v >> (8 * n)) == 0) break;
      if (isSigned) {
        const auto s = static_cast<int64_t>(v);
        const int64_t lo = -(int64_t{1} << (8 * n - 1));
        const int64_t hi = (int64_t{1} << (8 * n - 1)) - 1;
        if (s >= lo && s <= hi) break;
      }
      ++n;
    }
    return n;
  };
  for (const PlannedRun& r : runs) {
    const size_t lengthBytes = bytesFor(r.length, false);
    size_t offsetBytes = 0;
    uint64_t delta = 0;
    if (r.lcn >= 0) {
      delta = static_cast<uint64_t>(r.lcn - previous);
      offsetBytes = bytesFor(delta, true);
      previous = r.lcn;
    }
    out.push_back(static_cast<std::byte>(lengthBytes | (offsetBytes << 4)));
    for (size_t i = 0; i < lengthBytes; ++i)
      out.push_back(static_cast<std::byte>(r.length >> (8 * i)));
    for (size_t i = 0; i < offsetBytes; ++i)
      out.push_back(static_cast<std::byte>(delta >> (8 * i)));
  }
  out.push_back(std::byte{0});
  return out;
}

// A 1,024-byte file record in memory (fix-ups applied), filled attribute by attribute.
class RecordBuilder {
 public:
  static constexpr size_t kSize = 1024;
  static constexpr uint16_t kUsaOffset = 48;
  static constexpr uint16_t kUsaCount = 3;
  static constexpr uint16_t kFirstAttribute = 56;

  explicit RecordBuilder(uint32_t number, uint16_t flags = ntfs::kRecordInUse) : bytes_(kSize) {
    StoreLe32(&bytes_[ntfs::kSignatureOffset], ntfs::kFileSignature);
    StoreLe16(&bytes_[ntfs::kUsaOffsetOffset], kUsaOffset);
    StoreLe16(&bytes_[ntfs::kUsaCountOffset], kUsaCount);
    StoreLe16(&bytes_[ntfs::kFirstAttributeOffset], kFirstAttribute);
    StoreLe16(&bytes_[ntfs::kFlagsOffset], flags);
    StoreLe32(&bytes_[0x1C], kSize);  // bytes allocated
    StoreLe32(&bytes_[ntfs::kRecordNumberOffset], number);
    position_ = kFirstAttribute;
  }

  RecordBuilder& Resident(uint32_t type, const Buffer& value, const std::u16string& name = {}) {
    const size_t nameOffset = ntfs::kResidentHeaderSize;
    const size_t valueOffset = Align(nameOffset + name.size() * 2);
    const size_t length = Align(valueOffset + value.size());
    std::byte* a = Header(type, length, false, name, nameOffset);
    StoreLe32(a + ntfs::kValueLengthOffset, static_cast<uint32_t>(value.size()));
    StoreLe16(a + ntfs::kValueOffsetOffset, static_cast<uint16_t>(valueOffset));
    if (!value.empty()) std::memcpy(a + valueOffset, value.data(), value.size());
    position_ += length;
    return *this;
  }

  RecordBuilder& NonResident(uint32_t type, const Buffer& runList, uint64_t firstVcn,
                             uint64_t lastVcn, uint64_t allocated, uint64_t dataSize,
                             const std::u16string& name = {}) {
    const size_t nameOffset = ntfs::kNonResidentHeaderSize;
    const size_t runOffset = Align(nameOffset + name.size() * 2);
    const size_t length = Align(runOffset + runList.size());
    std::byte* a = Header(type, length, true, name, nameOffset);
    StoreLe64(a + ntfs::kFirstVcnOffset, firstVcn);
    StoreLe64(a + ntfs::kLastVcnOffset, lastVcn);
    StoreLe16(a + ntfs::kRunListOffsetOffset, static_cast<uint16_t>(runOffset));
    StoreLe64(a + ntfs::kAllocatedSizeOffset, allocated);
    StoreLe64(a + ntfs::kDataSizeOffset, dataSize);
    StoreLe64(a + ntfs::kInitializedSizeOffset, dataSize);
    std::memcpy(a + runOffset, runList.data(), runList.size());
    position_ += length;
    return *this;
  }

  // The record with its end marker and bytes in use, fix-ups applied.
  Buffer Fixed() const {
    Buffer out = bytes_;
    StoreLe32(&out[position_], ntfs::kAttrEnd);
    StoreLe32(&out[ntfs::kBytesInUseOffset], static_cast<uint32_t>(position_ + 8));
    // The array holds what the block ends hold, as after a fix-up.
    for (size_t i = 1; i < kUsaCount; ++i) {
      out[kUsaOffset + 2 * i] = out[i * 512 - 2];
      out[kUsaOffset + 2 * i + 1] = out[i * 512 - 1];
    }
    StoreLe16(&out[kUsaOffset], sequence_);
    return out;
  }

  // The record as it lies on disk: block ends replaced by the sequence number.
  Buffer OnDisk() const {
    Buffer out = Fixed();
    // A built record always has room for its update sequence array.
    static_cast<void>(ntfs::UndoFixup(out));
    return out;
  }

  RecordBuilder& Sequence(uint16_t sequence) {
    sequence_ = sequence;
    return *this;
  }
  // Direct access for tests that place bytes at block ends.
  Buffer& Raw() { return bytes_; }

 private:
  static size_t Align(size_t n) { return (n + 7) & ~size_t{7}; }

  std::byte* Header(uint32_t type, size_t length, bool nonResident, const std::u16string& name,
                    size_t nameOffset) {
    std::byte* a = &bytes_[position_];
    StoreLe32(a + ntfs::kAttrTypeOffset, type);
    StoreLe32(a + ntfs::kAttrLengthOffset, static_cast<uint32_t>(length));
    a[ntfs::kAttrNonResidentOffset] = std::byte{nonResident ? uint8_t{1} : uint8_t{0}};
    a[ntfs::kAttrNameLengthOffset] = static_cast<std::byte>(name.size());
    StoreLe16(a + ntfs::kAttrNameOffsetOffset, static_cast<uint16_t>(nameOffset));
    StoreLe16(a + ntfs::kAttrInstanceOffset, instance_++);
    for (size_t i = 0; i < name.size(); ++i) StoreLe16(a + nameOffset + 2 * i, name[i]);
    return a;
  }

  Buffer bytes_;
  size_t position_ = 0;
  uint16_t instance_ = 0;
  uint16_t sequence_ = 0x0203;
};

inline Buffer Le64(uint64_t v) {
  Buffer b(8);
  StoreLe64(b.data(), v);
  return b;
}

// An in-memory NTFS volume: a boot sector and an $MFT laid out in the given runs.
struct TestVolume {
  static constexpr uint32_t kSectorSize = 512;

  uint32_t sectorsPerCluster = 8;
  uint64_t clusters = 1024;
  std::vector<PlannedRun> mftRuns{{64, 16}};
  uint64_t mftRecords = 0;      // data size / 1,024; 0: everything the runs hold
  std::vector<Buffer> records;  // by record number, on-disk form; empty slots stay zero

  uint32_t ClusterSize() const { return kSectorSize * sectorsPerCluster; }
  uint64_t RunClusters() const {
    uint64_t n = 0;
    for (const auto& r : mftRuns) n += r.length;
    return n;
  }

  static Buffer BootSector(uint32_t sectorsPerCluster, uint64_t totalSectors, uint64_t mftCluster,
                           uint64_t mirrCluster) {
    Buffer boot(512);
    std::memcpy(&boot[3], "NTFS    ", 8);
    StoreLe16(&boot[11], kSectorSize);
    boot[13] = static_cast<std::byte>(sectorsPerCluster);
    StoreLe64(&boot[40], totalSectors);
    StoreLe64(&boot[48], mftCluster);
    StoreLe64(&boot[56], mirrCluster);
    StoreLe32(&boot[64], 0xF6);
    boot[510] = std::byte{0x55};
    boot[511] = std::byte{0xAA};
    return boot;
  }

  // Record 0 describing the $MFT's runs; the caller may add attributes first.
  RecordBuilder MftRecord() const {
    const uint64_t held = RunClusters() * ClusterSize() / RecordBuilder::kSize;
    const uint64_t count = mftRecords != 0 ? mftRecords : held;
    RecordBuilder r(0);
    r.NonResident(ntfs::kAttrData, EncodeRuns(mftRuns), 0, RunClusters() - 1,
                  RunClusters() * ClusterSize(), count * RecordBuilder::kSize);
    return r;
  }

  // Places every record at the position the runs give it.
  std::unique_ptr<platform::MemoryBlockDevice> Build() const {
    Buffer image(clusters * ClusterSize());
    const Buffer boot = BootSector(sectorsPerCluster, clusters * sectorsPerCluster,
                                   static_cast<uint64_t>(mftRuns.front().lcn), clusters - 1);
    std::memcpy(image.data(), boot.data(), boot.size());
    for (size_t n = 0; n < records.size(); ++n) {
      if (records[n].empty()) continue;
      for (size_t b = 0; b < records[n].size(); ++b) {
        const uint64_t at = MftByteToVolume(n * RecordBuilder::kSize + b);
        if (at < image.size()) image[at] = records[n][b];
      }
    }
    return std::make_unique<platform::MemoryBlockDevice>(std::move(image));
  }

  uint64_t MftByteToVolume(uint64_t offset) const {
    uint64_t vcn = 0;
    for (const auto& r : mftRuns) {
      const uint64_t start = vcn * ClusterSize();
      const uint64_t end = (vcn + r.length) * ClusterSize();
      if (offset >= start && offset < end) {
        return static_cast<uint64_t>(r.lcn) * ClusterSize() + (offset - start);
      }
      vcn += r.length;
    }
    return UINT64_MAX;
  }
};

// A record whose only attribute is a resident $DATA holding its number, so that a
// test can tell which record landed where.
inline Buffer TaggedRecord(uint32_t number) {
  return RecordBuilder(number).Resident(ntfs::kAttrData, Le64(0x7A6700000000ull | number)).OnDisk();
}

}  // namespace stow::engine::testing
