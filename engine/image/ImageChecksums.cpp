#include "engine/image/ImageChecksums.h"

#include <xxhash.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

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

// The hashing half of the builder: the stretch and whole-image states and the
// stretch checksums in order, fed by a queue of steps. Without a worker every
// step runs at once. With one, a step of many bytes wakes the worker; the
// small steps (records, the ends of stretches, the data of small runs) wait
// for it or for Settle(), which runs what is left on the caller's thread:
// waking a thread costs more than hashing a few bytes.
struct ChecksumBuilder::Hasher {
  // The piece both states take in turn: small enough to be read from the
  // cache the second time.
  static constexpr size_t kPiece = size_t{64} * 1024;
  // Steps of at least this many bytes are hashed by the worker at once.
  static constexpr size_t kWakeBytes = size_t{128} * 1024;
  static constexpr size_t kKept = std::max(kImageHeaderSize, kBlockRecordSize);

  struct Step {
    std::span<const std::byte> bytes;  // the caller's bytes, when not kept
    std::array<std::byte, kKept> kept{};
    size_t keptSize = 0;
    bool endStretch = false;  // the stretch ends here: its checksum is taken
  };

  Xxh3Stream whole;
  Xxh3Stream stretch;
  std::vector<uint64_t> digests;  // one per finished stretch, in order

  std::thread worker;
  std::mutex mutex;
  std::condition_variable kick;     // the worker has steps to take
  std::condition_variable settled;  // nobody is hashing any more
  std::deque<Step> steps;
  bool kicked = false;
  bool running = false;  // a thread is hashing steps taken from the queue
  bool stopping = false;

  ~Hasher() {
    if (!worker.joinable()) return;
    {
      const std::lock_guard lock(mutex);
      // Bytes still queued may no longer exist: they are dropped, not read.
      steps.clear();
      stopping = true;
    }
    kick.notify_all();
    worker.join();
  }

  void Start() {
    if (!worker.joinable()) worker = std::thread([this] { Loop(); });
  }

  void Submit(const Step& step) {
    if (!worker.joinable()) {
      Run(step);
      return;
    }
    const bool wake = step.keptSize == 0 && step.bytes.size() >= kWakeBytes;
    {
      const std::lock_guard lock(mutex);
      steps.push_back(step);
      if (wake) kicked = true;
    }
    if (wake) kick.notify_one();
  }

  void Settle() {
    if (!worker.joinable()) return;
    std::unique_lock lock(mutex);
    settled.wait(lock, [&] { return !running; });
    RunQueued(lock);
  }

  // Hashes every queued step; called under the lock while nobody is hashing.
  void RunQueued(std::unique_lock<std::mutex>& lock) {
    running = true;
    kicked = false;
    while (!steps.empty()) {
      std::deque<Step> taken;
      taken.swap(steps);
      lock.unlock();
      for (const Step& step : taken) Run(step);
      lock.lock();
    }
    running = false;
    settled.notify_all();
  }

  void Run(const Step& step) {
    if (step.endStretch) {
      digests.push_back(stretch.Digest());
      stretch.Reset();
      return;
    }
    std::span<const std::byte> bytes = step.bytes;
    if (step.keptSize != 0) bytes = std::span<const std::byte>(step.kept).first(step.keptSize);
    while (!bytes.empty()) {
      const std::span<const std::byte> piece = bytes.first(std::min(bytes.size(), kPiece));
      stretch.Update(piece);
      whole.Update(piece);
      bytes = bytes.subspan(piece.size());
    }
  }

  void Loop() {
    std::unique_lock lock(mutex);
    for (;;) {
      kick.wait(lock, [&] { return stopping || (kicked && !running); });
      if (stopping) return;
      RunQueued(lock);
    }
  }
};

ChecksumBuilder::ChecksumBuilder() : hasher_(std::make_unique<Hasher>()) {}

ChecksumBuilder::~ChecksumBuilder() = default;

void ChecksumBuilder::HashInBackground() { hasher_->Start(); }

void ChecksumBuilder::Settle() { hasher_->Settle(); }

void ChecksumBuilder::Open(uint64_t offset) {
  Close();
  sums_.entries.push_back(ChecksumEntry{offset, 0, 0});
  open_ = true;
}

void ChecksumBuilder::Close() {
  if (!open_) return;
  Hasher::Step step;
  step.endStretch = true;
  hasher_->Submit(step);
  open_ = false;
}

void ChecksumBuilder::Feed(std::span<const std::byte> bytes, bool copy) {
  sums_.entries.back().length += bytes.size();
  end_ += bytes.size();
  Hasher::Step step;
  if (copy && bytes.size() <= step.kept.size()) {
    std::copy(bytes.begin(), bytes.end(), step.kept.begin());
    step.keptSize = bytes.size();
  } else {
    step.bytes = bytes;
  }
  hasher_->Submit(step);
}

void ChecksumBuilder::Header(std::span<const std::byte> header) {
  if (broken_) return;
  if (end_ != 0 || header.size() != kImageHeaderSize) {
    broken_ = true;
    return;
  }
  Open(0);
  Feed(header, true);
  Close();
}

void ChecksumBuilder::Record(uint64_t offset, std::span<const std::byte> record, uint64_t runLength,
                             bool carriesData) {
  if (broken_) return;
  if (end_ == 0 || offset != end_ || runLeft_ != 0 || record.size() != kBlockRecordSize) {
    broken_ = true;
    return;
  }
  Open(offset);
  Feed(record, true);
  runLeft_ = carriesData ? runLength : 0;
  runConsumed_ = 0;
}

void ChecksumBuilder::Data(uint64_t offset, std::span<const std::byte> bytes) {
  if (broken_) return;
  if (!open_ || offset != end_ || bytes.size() > runLeft_) {
    broken_ = true;
    return;
  }
  while (!bytes.empty()) {
    const uint64_t toBoundary = kImageChunkBytes - runConsumed_ % kImageChunkBytes;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(bytes.size(), toBoundary));
    Feed(bytes.first(take), false);
    bytes = bytes.subspan(take);
    runConsumed_ += take;
    runLeft_ -= take;
    if (runConsumed_ % kImageChunkBytes == 0 && runLeft_ != 0) Open(end_);
  }
}

ImageChecksums ChecksumBuilder::Finish() {
  if (runLeft_ != 0) broken_ = true;
  Close();
  hasher_->Settle();
  if (hasher_->digests.size() != sums_.entries.size()) {
    broken_ = true;
  } else {
    for (size_t i = 0; i < sums_.entries.size(); ++i) sums_.entries[i].hash = hasher_->digests[i];
  }
  sums_.imageSize = end_;
  sums_.wholeHash = hasher_->whole.Digest();
  return sums_;
}

ChecksumCursor::ChecksumCursor(const ImageChecksums& sums) : sums_(sums) {}

bool ChecksumCursor::Fail(uint64_t offset, std::string text) {
  if (!failed_) {
    failed_ = true;
    faultOffset_ = offset;
    fault_ = std::move(text);
  }
  return false;
}

const ChecksumEntry* ChecksumCursor::Expect(uint64_t offset, uint64_t length, uint64_t recordNumber,
                                            bool known) {
  const std::string block =
      known ? FormatString("the block of file record %llu at offset %llu",
                           static_cast<unsigned long long>(recordNumber),
                           static_cast<unsigned long long>(offset))
            : FormatString("the image header at offset %llu", static_cast<unsigned long long>(offset));
  if (next_ >= sums_.entries.size()) {
    Fail(offset, block + ": the checksum file ends before it; the image holds more than was written");
    return nullptr;
  }
  const ChecksumEntry& e = sums_.entries[next_];
  if (e.offset != offset || e.length != length) {
    Fail(offset, FormatString("%s: the checksum file expects %llu bytes at offset %llu here; the "
                              "image is damaged",
                              block.c_str(), static_cast<unsigned long long>(e.length),
                              static_cast<unsigned long long>(e.offset)));
    return nullptr;
  }
  return &e;
}

bool ChecksumCursor::CheckHeader(std::span<const std::byte> header) {
  if (failed_) return false;
  const ChecksumEntry* e = Expect(0, header.size(), 0, false);
  if (e == nullptr) return false;
  whole_.Update(header);
  ++next_;
  if (Xxh3(header) != e->hash) {
    return Fail(0, "the image header at offset 0 does not match its checksum: the image is damaged");
  }
  return true;
}

bool ChecksumCursor::CheckStretch(uint64_t offset, std::span<const std::byte> record,
                                  std::span<const std::byte> data, uint64_t recordNumber) {
  if (failed_) return false;
  const ChecksumEntry* e = Expect(offset, record.size() + data.size(), recordNumber, true);
  if (e == nullptr) return false;
  stretch_.Reset();
  stretch_.Update(record);
  whole_.Update(record);
  // Both states take each piece in turn: the data is read from memory once.
  constexpr size_t kPiece = size_t{64} * 1024;
  for (size_t at = 0; at < data.size(); at += kPiece) {
    const std::span<const std::byte> piece = data.subspan(at, std::min(kPiece, data.size() - at));
    stretch_.Update(piece);
    whole_.Update(piece);
  }
  ++next_;
  if (stretch_.Digest() != e->hash) {
    return Fail(offset, FormatString("the block of file record %llu at offset %llu does not match "
                                     "its checksum: the image is damaged",
                                     static_cast<unsigned long long>(recordNumber),
                                     static_cast<unsigned long long>(offset)));
  }
  return true;
}

bool ChecksumCursor::End(uint64_t fileSize) {
  if (failed_) return false;
  if (fileSize != sums_.imageSize) {
    return Fail(std::min(fileSize, sums_.imageSize),
                FormatString("the image holds %llu bytes, but %llu were written: it was changed "
                             "or cut short",
                             static_cast<unsigned long long>(fileSize),
                             static_cast<unsigned long long>(sums_.imageSize)));
  }
  if (next_ != sums_.entries.size()) {
    const ChecksumEntry& e = sums_.entries[next_];
    return Fail(e.offset, FormatString("the stretch at offset %llu was never read: the image is "
                                       "damaged",
                                       static_cast<unsigned long long>(e.offset)));
  }
  if (whole_.Digest() != sums_.wholeHash) {
    return Fail(0, "the image as a whole does not match its checksum: the image is damaged");
  }
  return true;
}

ImageVerification VerifyImageContents(
    platform::BlockDevice& file, const std::string& imagePath,
    const std::function<bool(uint64_t done, uint64_t total)>& progress) {
  ImageVerification result;
  ImageChecksums sums;
  std::string why;
  const ChecksumLoad loaded = LoadChecksumFile(imagePath, sums, why);
  if (loaded == ChecksumLoad::kMissing) return result;
  result.checksumsFound = true;
  if (loaded != ChecksumLoad::kLoaded) {
    result.faultText = why;
    return result;
  }
  const uint64_t size = file.Size();
  ChecksumCursor cursor(sums);
  auto fail = [&](uint64_t offset, std::string text) {
    result.faultOffset = offset;
    result.faultText = std::move(text);
    return result;
  };
  ImageHeaderBytes header{};
  if (size < header.size() || file.ReadAt(0, header).bytes != header.size()) {
    return fail(0, FormatString("offset 0: the image's header cannot be read (the file holds %llu "
                                "bytes)",
                                static_cast<unsigned long long>(size)));
  }
  if (!cursor.CheckHeader(header)) return fail(cursor.FaultOffset(), cursor.FaultText());
  ImageReader reader(file, false, ImageRetry{1, std::chrono::milliseconds(0)});
  reader.OnEmptyBlock([&](uint64_t offset, const BlockRecord& record) {
    const BlockRecordBytes bytes = record.Encode();
    static_cast<void>(cursor.CheckStretch(offset, bytes, {}, record.recordNumber));
  });
  std::vector<std::byte> buffer(kImageChunkBytes);
  ImageChunk chunk;
  ImageStatus status;
  while ((status = reader.Next(chunk, buffer)) == ImageStatus::kChunk) {
    const std::span<const std::byte> data = std::span(buffer).first(chunk.dataLength);
    bool good = true;
    if (chunk.firstOfBlock) {
      const BlockRecordBytes record = reader.CurrentRecord().Encode();
      good = cursor.CheckStretch(reader.RecordOffset(), record, data, chunk.recordNumber);
    } else {
      good = cursor.CheckStretch(chunk.fileOffset, {}, data, chunk.recordNumber);
    }
    if (!good) return fail(cursor.FaultOffset(), cursor.FaultText());
    result.bytesRead = chunk.fileOffset + chunk.dataLength;
    if (progress && !progress(result.bytesRead, size)) return fail(result.bytesRead, "stopped");
  }
  if (status != ImageStatus::kEnd) {
    // The structure broke: when the stretch where it broke is not what was
    // written, say so first; it is the likelier account of the fault.
    if (cursor.StretchesChecked() < sums.entries.size()) {
      const ChecksumEntry& e = sums.entries[cursor.StretchesChecked()];
      std::vector<std::byte> raw(static_cast<size_t>(e.length));
      if (e.offset <= size && e.length <= size - e.offset &&
          file.ReadAt(e.offset, raw).bytes == raw.size() && Xxh3(raw) != e.hash) {
        return fail(e.offset, FormatString("the block at offset %llu does not match its "
                                           "checksum: the image is damaged (%s)",
                                           static_cast<unsigned long long>(e.offset),
                                           reader.FaultText().c_str()));
      }
    }
    return fail(reader.FaultOffset(), reader.FaultText());
  }
  if (!cursor.End(size)) return fail(cursor.FaultOffset(), cursor.FaultText());
  result.bytesRead = size;
  if (progress) progress(size, size);
  result.ok = true;
  return result;
}

}  // namespace stow::engine
