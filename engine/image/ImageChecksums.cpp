// The checksum file itself: XXH3-64, the file's encoding, and its reader,
// which checks every field of a file it did not write before trusting it.
// The builder that collects the checksums while an image is written is in
// ImageChecksumBuilder.cpp; the check of an image against them in
// ImageChecksumVerify.cpp.
#include "engine/image/ImageChecksums.h"

#include <xxhash.h>

#include <cerrno>
#include <cstring>

#include "engine/image/ImageFormat.h"
#include "support/Bytes.h"
#include "support/Enums.h"
#include "support/Format.h"

namespace stow::engine {
namespace {

constexpr char kMagic[8] = {'S', 'T', 'O', 'W', 'S', 'U', 'M', 'S'};
constexpr size_t kVersionOffset = 8;
constexpr size_t kChunkOffset = 12;
constexpr size_t kImageSizeOffset = 16;
constexpr size_t kWholeOffset = 24;
constexpr size_t kCountOffset = 32;

ChecksumFileStatus Bad(ChecksumFileStatus status, std::string& why, std::string text) {
  why = std::move(text);
  return status;
}

}  // namespace

std::string ChecksumPathFor(const std::string& imagePath) { return imagePath + kChecksumFileSuffix; }

uint64_t Xxh3(std::span<const std::byte> bytes) { return XXH3_64bits(bytes.data(), bytes.size()); }

struct Xxh3Stream::State {
  XXH3_state_t* state = nullptr;
};

Xxh3Stream::Xxh3Stream() : state_(std::make_unique<State>()) {
  state_->state = XXH3_createState();
  Reset();
}

Xxh3Stream::~Xxh3Stream() { XXH3_freeState(state_->state); }

void Xxh3Stream::Reset() { XXH3_64bits_reset(state_->state); }

void Xxh3Stream::Update(std::span<const std::byte> bytes) {
  if (!bytes.empty()) XXH3_64bits_update(state_->state, bytes.data(), bytes.size());
}

uint64_t Xxh3Stream::Digest() const { return XXH3_64bits_digest(state_->state); }

std::vector<std::byte> ImageChecksums::Encode() const {
  std::vector<std::byte> out(kChecksumFileHeaderSize + entries.size() * kChecksumEntrySize +
                             kChecksumTrailerSize);
  std::memcpy(out.data(), kMagic, sizeof kMagic);
  StoreLe32(&out[kVersionOffset], version);
  StoreLe32(&out[kChunkOffset], kImageChunkBytes);
  StoreLe64(&out[kImageSizeOffset], imageSize);
  StoreLe64(&out[kWholeOffset], wholeHash);
  StoreLe64(&out[kCountOffset], entries.size());
  size_t at = kChecksumFileHeaderSize;
  for (const ChecksumEntry& e : entries) {
    StoreLe64(&out[at], e.offset);
    StoreLe64(&out[at + 8], e.length);
    StoreLe64(&out[at + 16], e.hash);
    at += kChecksumEntrySize;
  }
  StoreLe64(&out[at], Xxh3(std::span(out).first(at)));
  return out;
}

constexpr EnumLabel<ChecksumFileStatus> kChecksumFileStatusLabels[] = {
    {ChecksumFileStatus::kOk, "ok"},
    {ChecksumFileStatus::kTooShort, "too short"},
    {ChecksumFileStatus::kBadMagic, "not a checksum file"},
    {ChecksumFileStatus::kNewerVersion, "written by a newer version"},
    {ChecksumFileStatus::kBadSize, "size does not match its contents"},
    {ChecksumFileStatus::kSelfCheckFailed, "damaged"},
    {ChecksumFileStatus::kBadStretches, "stretches out of order"},
};

const char* ChecksumFileStatusText(ChecksumFileStatus status) {
  return LabelOf(kChecksumFileStatusLabels, status);
}

ChecksumFileStatus ParseChecksumFile(std::span<const std::byte> bytes, ImageChecksums& out,
                                     std::string& why) {
  out = ImageChecksums{};
  why.clear();
  const uint64_t size = bytes.size();
  if (size < kChecksumFileHeaderSize + kChecksumTrailerSize) {
    return Bad(ChecksumFileStatus::kTooShort, why,
               FormatString("the checksum file holds %llu bytes, fewer than its %zu-byte frame",
                            static_cast<unsigned long long>(size),
                            kChecksumFileHeaderSize + kChecksumTrailerSize));
  }
  if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    return Bad(ChecksumFileStatus::kBadMagic, why,
               "offset 0: the file does not start with \"STOWSUMS\": it is not a checksum file");
  }
  const uint32_t version = LoadLe32(&bytes[kVersionOffset]);
  if (version != kChecksumFileVersion) {
    return Bad(ChecksumFileStatus::kNewerVersion, why,
               FormatString("offset %zu: checksum file version %u; this program reads version %u",
                            kVersionOffset, version, kChecksumFileVersion));
  }
  const uint64_t count = LoadLe64(&bytes[kCountOffset]);
  const uint64_t room = (size - kChecksumFileHeaderSize - kChecksumTrailerSize);
  if (room % kChecksumEntrySize != 0 || room / kChecksumEntrySize != count) {
    return Bad(ChecksumFileStatus::kBadSize, why,
               FormatString("offset %zu: the checksum file names %llu stretches but holds room "
                            "for %llu: it was cut short or damaged",
                            kCountOffset, static_cast<unsigned long long>(count),
                            static_cast<unsigned long long>(room / kChecksumEntrySize)));
  }
  const size_t trailer = static_cast<size_t>(size - kChecksumTrailerSize);
  if (Xxh3(bytes.first(trailer)) != LoadLe64(&bytes[trailer])) {
    return Bad(ChecksumFileStatus::kSelfCheckFailed, why,
               "the checksum file's own checksum does not match: the checksum file is damaged");
  }
  ImageChecksums sums;
  sums.version = version;
  sums.imageSize = LoadLe64(&bytes[kImageSizeOffset]);
  sums.wholeHash = LoadLe64(&bytes[kWholeOffset]);
  sums.entries.reserve(static_cast<size_t>(count));
  uint64_t expected = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const size_t at = kChecksumFileHeaderSize + static_cast<size_t>(i) * kChecksumEntrySize;
    ChecksumEntry e{LoadLe64(&bytes[at]), LoadLe64(&bytes[at + 8]), LoadLe64(&bytes[at + 16])};
    const bool first = i == 0;
    const bool fits = first ? (e.offset == 0 && e.length == kImageHeaderSize)
                            : (e.offset == expected && e.length != 0 &&
                               e.length <= kMaxChecksumStretch && expected <= sums.imageSize &&
                               e.length <= sums.imageSize - expected);
    if (!fits) {
      return Bad(ChecksumFileStatus::kBadStretches, why,
                 FormatString("offset %zu: stretch %llu (%llu bytes at %llu) does not follow the "
                              "one before it",
                              at, static_cast<unsigned long long>(i),
                              static_cast<unsigned long long>(e.length),
                              static_cast<unsigned long long>(e.offset)));
    }
    expected = e.offset + e.length;
    sums.entries.push_back(e);
  }
  if (count == 0 || expected != sums.imageSize) {
    return Bad(ChecksumFileStatus::kBadStretches, why,
               FormatString("the stretches end at byte %llu, but the image is %llu bytes long",
                            static_cast<unsigned long long>(expected),
                            static_cast<unsigned long long>(sums.imageSize)));
  }
  out = std::move(sums);
  return ChecksumFileStatus::kOk;
}

ChecksumLoad LoadChecksumFile(const std::string& imagePath, ImageChecksums& out, std::string& why) {
  out = ImageChecksums{};
  const std::string path = ChecksumPathFor(imagePath);
  std::unique_ptr<platform::BlockDevice> file;
  const int opened = platform::OpenBlockDevice(path, true, file);
  if (opened == ENOENT) return ChecksumLoad::kMissing;
  if (opened != 0 || !file) {
    why = "the checksum file " + path + " cannot be opened: " + platform::SystemErrorText(opened);
    return ChecksumLoad::kReadFailed;
  }
  const uint64_t size = file->Size();
  if (size > kMaxChecksumFileBytes) {
    why = FormatString("the checksum file %s holds %llu bytes, more than any image needs",
                       path.c_str(), static_cast<unsigned long long>(size));
    return ChecksumLoad::kDamaged;
  }
  std::vector<std::byte> bytes(static_cast<size_t>(size));
  const platform::IoResult read = file->ReadAt(0, bytes);
  if (read.bytes != size) {
    why = "the checksum file " + path + " cannot be read: " +
          platform::SystemErrorText(read.error != 0 ? read.error : EIO);
    return ChecksumLoad::kReadFailed;
  }
  std::string fault;
  if (ParseChecksumFile(bytes, out, fault) != ChecksumFileStatus::kOk) {
    why = "the checksum file " + path + ": " + fault;
    return ChecksumLoad::kDamaged;
  }
  return ChecksumLoad::kLoaded;
}

}  // namespace stow::engine
