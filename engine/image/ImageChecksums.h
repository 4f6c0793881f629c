// The checksum file of a backup image: "<image>.sums", written beside the image
// once the image itself is complete. The image format has no room for checks,
// so they live beside it; an image without this file is still a valid image,
// only its contents cannot be proved.
//
// The image is cut into stretches, in file order without gaps:
//   - the 40-byte header;
//   - each block record together with its run's first chunk of data (at most
//     4 MiB; a sparse block is its record alone);
//   - each further 4 MiB chunk of a long run.
// This is the cut the image reader hands out, so a restore can check every
// chunk before it is written. Every stretch carries the XXH3-64 of its bytes;
// one more XXH3-64 covers the whole image, and the last eight bytes of the
// checksum file cover the checksum file itself.
//
// Layout (little-endian), described in docs/image-format.md:
//   0   8  magic "STOWSUMS"
//   8   4  version (1)
//   12  4  chunk size of long runs (4,194,304)
//   16  8  size of the image in bytes
//   24  8  XXH3-64 of the whole image
//   32  8  number of stretches
//   40 24  zero
//   64     stretches: offset u64, length u64, XXH3-64 u64 (24 bytes each)
//   end-8  XXH3-64 of every byte before it
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/BlockDevice.h"

namespace stow::engine {

inline constexpr char kChecksumFileSuffix[] = ".sums";
inline constexpr uint32_t kChecksumFileVersion = 1;
inline constexpr size_t kChecksumFileHeaderSize = 64;
inline constexpr size_t kChecksumEntrySize = 24;
inline constexpr size_t kChecksumTrailerSize = 8;
// Longest stretch: a block record and a whole chunk.
inline constexpr uint64_t kMaxChecksumStretch = 40 + 4 * 1024 * 1024;
// A checksum file larger than this is refused unread (an image of 16 TiB
// needs about 100 MiB).
inline constexpr uint64_t kMaxChecksumFileBytes = 1ull << 30;

// The checksum file that belongs to `imagePath`.
std::string ChecksumPathFor(const std::string& imagePath);

// XXH3-64 of `bytes` (seed 0).
uint64_t Xxh3(std::span<const std::byte> bytes);

// XXH3-64 over bytes given piece by piece.
class Xxh3Stream {
 public:
  Xxh3Stream();
  ~Xxh3Stream();
  Xxh3Stream(const Xxh3Stream&) = delete;
  Xxh3Stream& operator=(const Xxh3Stream&) = delete;
  void Reset();
  void Update(std::span<const std::byte> bytes);
  uint64_t Digest() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

struct ChecksumEntry {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t hash = 0;
  bool operator==(const ChecksumEntry&) const = default;
};

struct ImageChecksums {
  uint32_t version = kChecksumFileVersion;
  uint64_t imageSize = 0;
  uint64_t wholeHash = 0;
  std::vector<ChecksumEntry> entries;  // entries[0] is the header

  // The checksum file's bytes.
  std::vector<std::byte> Encode() const;
};

enum class ChecksumFileStatus {
  kOk,
  kTooShort,        // shorter than its header and trailer
  kBadMagic,        // not a checksum file
  kNewerVersion,    // written by a newer version of the program
  kBadSize,         // its size does not match its number of stretches
  kSelfCheckFailed, // its own checksum does not match: the file is damaged
  kBadStretches,    // stretches that do not cut the image into pieces in order
};
const char* ChecksumFileStatusText(ChecksumFileStatus status);

// Parses a checksum file. Every field is checked before it is used; `why` is a
// one-line description of the first fault (with its offset in the file).
[[nodiscard]] ChecksumFileStatus ParseChecksumFile(std::span<const std::byte> bytes,
                                                   ImageChecksums& out, std::string& why);

enum class ChecksumLoad {
  kLoaded,
  kMissing,  // no checksum file beside the image
  kDamaged,  // present but not usable: `why` says what is wrong
  kReadFailed,
};
// Reads and parses the checksum file of `imagePath`.
ChecksumLoad LoadChecksumFile(const std::string& imagePath, ImageChecksums& out, std::string& why);

// Collects the checksums while an image is written front to back, and cuts
// the stretches as the image reader will: each block record opens one, and a
// run's data opens a new one after every 4 MiB of the run. Writes out of order
// make the builder broken: no checksum file is then written rather than a
// wrong one.
//
// Each byte is read once: the stretch's checksum and the whole image's are
// taken from the same piece while it is in the cache. The hashing runs on the
// caller's thread, or, after HashInBackground(), on a thread of the builder's
// own, so that a writer can write the bytes while they are hashed: Header,
// Record and Data then only queue the bytes. The bytes given to Data must stay
// unchanged until Settle() (or Finish()) has returned; those of Header and
// Record are copied.
class ChecksumBuilder {
 public:
  ChecksumBuilder();
  ~ChecksumBuilder();
  ChecksumBuilder(const ChecksumBuilder&) = delete;
  ChecksumBuilder& operator=(const ChecksumBuilder&) = delete;

  // Hashes on a thread of the builder's own from now on.
  void HashInBackground();
  // Returns once every byte handed over so far has been hashed: their buffers
  // may then be reused.
  void Settle();

  void Header(std::span<const std::byte> header);
  // A block record at `offset`: a run of `runLength` bytes, with data or sparse.
  void Record(uint64_t offset, std::span<const std::byte> record, uint64_t runLength,
              bool carriesData);
  // The next bytes of the current run's data, at `offset`.
  void Data(uint64_t offset, std::span<const std::byte> bytes);
  bool Broken() const { return broken_; }
  uint64_t Size() const { return end_; }
  // The finished checksums; broken when the last run's data is incomplete.
  ImageChecksums Finish();

 private:
  struct Hasher;

  void Open(uint64_t offset);
  void Close();
  // `copy`: the bytes (at most a record's) are kept by the builder until hashed.
  void Feed(std::span<const std::byte> bytes, bool copy);

  ImageChecksums sums_;
  std::unique_ptr<Hasher> hasher_;
  bool open_ = false;
  bool broken_ = false;
  uint64_t end_ = 0;
  uint64_t runLeft_ = 0;      // data bytes of the current run still to come
  uint64_t runConsumed_ = 0;  // data bytes of the current run seen
};

// Checks an image, read front to back as the image reader cuts it, against
// its checksums. A caller hands over each stretch in order with the file
// offset where it starts, the block record's 40 bytes when the stretch opens a
// block (else empty) and its data; the record number names the block in a
// fault. Every byte the image holds passes through here, so the whole-image
// checksum is checked too, at End.
class ChecksumCursor {
 public:
  explicit ChecksumCursor(const ImageChecksums& sums);

  [[nodiscard]] bool CheckHeader(std::span<const std::byte> header);
  [[nodiscard]] bool CheckStretch(uint64_t offset, std::span<const std::byte> record,
                                  std::span<const std::byte> data, uint64_t recordNumber);
  // The image ended at `fileSize`: every stretch was seen and the whole matches.
  [[nodiscard]] bool End(uint64_t fileSize);

  // The first fault: a one-line text naming the file record (when known) and
  // the file offset of the stretch, and that offset.
  const std::string& FaultText() const { return fault_; }
  uint64_t FaultOffset() const { return faultOffset_; }
  size_t StretchesChecked() const { return next_; }

 private:
  bool Fail(uint64_t offset, std::string text);
  const ChecksumEntry* Expect(uint64_t offset, uint64_t length, uint64_t recordNumber, bool known);

  const ImageChecksums& sums_;
  Xxh3Stream whole_;
  Xxh3Stream stretch_;
  size_t next_ = 0;
  bool failed_ = false;
  std::string fault_;
  uint64_t faultOffset_ = 0;
};

// The result of reading a whole image against its checksum file.
struct ImageVerification {
  bool checksumsFound = false;  // false: no checksum file, contents unproved
  bool ok = false;
  std::string faultText;        // the first fault (checksum file or image)
  uint64_t faultOffset = 0;
  uint64_t bytesRead = 0;
};

// Reads all of `file` (the image at `imagePath`) through the image reader and
// checks every stretch against the checksum file beside it. `progress` is
// called after each chunk with the bytes read so far and the file size; it
// returns false to stop (the result is then not ok, fault "stopped").
ImageVerification VerifyImageContents(
    platform::BlockDevice& file, const std::string& imagePath,
    const std::function<bool(uint64_t done, uint64_t total)>& progress = {});

}  // namespace stow::engine
