// Support for the backup thread tests: an in-memory NTFS volume whose data
// runs hold a position-dependent pattern, a device wrapper that fails or holds
// chosen transfers, and a reader of image files that does not use the engine's
// own image reader.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/image/ImageFormat.h"
#include "platform/BlockDevice.h"

namespace stow::engine::testing {

// A latch the test opens to let a held transfer go on.
class Gate {
 public:
  void Wait();
  void Open();
  // Blocks until a transfer waits at the gate.
  void WaitUntilReached();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
  bool reached_ = false;
};

// Forwards to another device; reads that touch [failFrom, failTo) fail, reads
// there first wait at `holdReads` when one is set, and writes fail once
// `writesBeforeFailure` writes have succeeded (-1: never).
class ScriptedDevice final : public platform::BlockDevice {
 public:
  explicit ScriptedDevice(std::unique_ptr<platform::BlockDevice> inner)
      : inner_(std::move(inner)) {}

  uint64_t failFrom = 0;
  uint64_t failTo = 0;
  Gate* holdReads = nullptr;
  uint64_t holdFrom = 0;
  uint64_t holdTo = 0;
  int writesBeforeFailure = -1;

  const std::string& Path() const override { return inner_->Path(); }
  uint64_t Size() const override { return inner_->Size(); }
  uint32_t SectorSize() const override { return inner_->SectorSize(); }
  bool IsBlockDevice() const override { return false; }
  bool IsWritable() const override { return inner_->IsWritable(); }
  platform::IoResult ReadAt(uint64_t offset, std::span<std::byte> out) override;
  platform::IoResult WriteAt(uint64_t offset, std::span<const std::byte> in) override;
  int Flush() override { return inner_->Flush(); }
  int Lock() override { return 0; }
  int Unlock() override { return 0; }
  int UpdateProperties() override { return 0; }

 private:
  std::unique_ptr<platform::BlockDevice> inner_;
  int writes_ = 0;
};

// The byte a source volume holds at `offset` of its data runs.
std::byte PatternByte(uint64_t offset);

// One run the source volume's MFT names, as the backup must carry it.
struct ExpectedRun {
  uint64_t record;
  uint16_t instance;
  uint16_t runIndex;
  uint64_t clusters;
  int64_t lcn;  // -1: sparse
};

// A 16 MiB volume with 4 KiB clusters: the $MFT (and its $BITMAP, which is not
// carried), $Bitmap, $Boot and $BadClus (left out of a backup), a file with a
// 10 MiB run, a sparse run and a short run, a file with a named stream, a
// resident file and a deleted record that still names clusters.
struct SourceVolume {
  static constexpr uint32_t kClusterSize = 4096;
  std::vector<std::byte> bytes;
  std::vector<ExpectedRun> expected;  // in stream order
};
const SourceVolume& TheSourceVolume();

// One block of an image file as a plain reading of the bytes finds it.
struct ImageBlock {
  uint64_t recordNumber = 0;
  uint64_t runLength = 0;
  uint64_t sequence = 0;
  uint64_t dataLength = 0;
  uint32_t runIndex = 0;
  uint16_t instance = 0;
  uint64_t dataOffset = 0;  // where the run's data starts in the file
};

struct ImageFile {
  std::vector<std::byte> header;
  std::vector<ImageBlock> blocks;
  std::vector<std::byte> bytes;
  bool wellFormed = false;  // every marker right and every run's data present
};
ImageFile ReadImageFile(const std::filesystem::path& path);

}  // namespace stow::engine::testing
