// The survey of a whole image file without its data: what `inspect` shows and
// what a restore checks before it formats its destination. It walks every
// block record front to back (markers, sequence numbers, data lengths, every
// run's data present) seeking over the data, and reads only the source's $MFT,
// which the image carries first: record 0's runs, then the further extents of a
// $MFT continued in extension records as those records' runs. From that $MFT it
// knows which blocks a complete backup holds, in which order (engine/SentRuns),
// and compares the image's blocks with them one by one, so that an image cut
// short at any block boundary, or missing a record in the middle, is found. It
// reads the $MFT's records on demand as the blocks pass, a window at a time, and
// holds no more than one record's run list.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/disk/FileEntry.h"

#include "engine/image/ImageFormat.h"
#include "platform/BlockDevice.h"

namespace stow::engine {

struct ImageSurvey {
  uint64_t fileSize = 0;
  bool headerRead = false;
  ImageHeader header;
  uint64_t blocks = 0;
  uint64_t dataBlocks = 0;
  uint64_t sparseBlocks = 0;
  uint64_t dataBytes = 0;
  uint64_t sparseBytes = 0;
  uint64_t progressSectors = 0;
  // From the first block: the source's file record 0.
  std::optional<uint64_t> recordCount;
  // The file record of the last block, and the last file record that the
  // image's own $MFT gives data to send (records 6 to 8 are never sent), as far
  // as the survey got.
  std::optional<uint64_t> lastBlockRecord;
  std::optional<uint64_t> lastRecordWithData;

  bool ok = true;
  // The first fault: a short kind ("data-truncated", "cut-short" ...), the byte
  // offset where it was found and a one-line description naming it.
  std::string faultKind;
  uint64_t faultOffset = 0;
  std::string faultText;
  // For an incomplete image (kinds "cut-short" and "missing-record"): the first
  // file record whose blocks, or some of them, the image lacks.
  std::optional<uint64_t> firstMissingRecord;

  // True when the image is sound in itself but lacks blocks that its $MFT
  // says a complete backup holds.
  bool Incomplete() const { return firstMissingRecord.has_value(); }
};

// Surveys the image `file`; never reads past its end. Each read is tried as
// `retry` says.
void SurveyImage(platform::BlockDevice& file, ImageSurvey& out,
                 ImageRetry retry = ImageRetry{1, std::chrono::milliseconds(0)});

// The size of the image a backup of these entries writes: the header, a block
// record per run (sparse runs included) and the bytes of every run that is not
// sparse, walked as the partition reader walks them (records 6 to 8 left out,
// of record 0 only $DATA). A run list that cannot be walked counts up to where
// it breaks; the reader then fails anyway.
uint64_t ImageBytesForEntries(const std::vector<FileEntry>& entries, uint64_t clusterSize);
// The same for a volume of `volumeClusters` clusters, whose runs past its end
// the walk refuses: the size the partition reader checks against the target's
// free space.
uint64_t ImageSizeOfEntries(const std::vector<FileEntry>& entries, uint64_t clusterSize,
                            uint64_t volumeClusters);

// Opens `path` read-only and surveys it: 0, or the system error of the open.
[[nodiscard]] int SurveyImageFile(const std::string& path, ImageSurvey& out);

}  // namespace stow::engine
