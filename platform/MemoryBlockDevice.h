// A block device held in memory, for unit tests and fuzzers. Faults can be
// injected to reach the retry and failure paths of the code above it.
#pragma once

#include <vector>

#include "platform/BlockDevice.h"

namespace stow::platform {

class MemoryBlockDevice final : public BlockDevice {
 public:
  explicit MemoryBlockDevice(std::vector<std::byte> data, uint32_t sectorSize = 512);
  explicit MemoryBlockDevice(uint64_t size, uint32_t sectorSize = 512);

  const std::string& Path() const override { return path_; }
  uint64_t Size() const override { return data_.size(); }
  uint32_t SectorSize() const override { return sectorSize_; }
  bool IsBlockDevice() const override { return false; }
  bool IsWritable() const override { return !readOnly_; }
  [[nodiscard]] IoResult ReadAt(uint64_t offset, std::span<std::byte> out) override;
  [[nodiscard]] IoResult WriteAt(uint64_t offset, std::span<const std::byte> in) override;
  [[nodiscard]] int Flush() override { return 0; }
  [[nodiscard]] int Lock() override;
  [[nodiscard]] int Unlock() override;
  [[nodiscard]] int UpdateProperties() override { return 0; }

  std::vector<std::byte>& Data() { return data_; }
  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }

  // Fault injection: the next `count` reads (or writes) fail; with `shortBy` they
  // deliver that many bytes fewer instead of failing outright.
  void FailReads(int count, uint64_t shortBy = 0) {
    failReads_ = count;
    shortReadBy_ = shortBy;
  }
  void FailWrites(int count) { failWrites_ = count; }
  void RefuseLock(bool refuse) { refuseLock_ = refuse; }
  int ReadCalls() const { return readCalls_; }
  int WriteCalls() const { return writeCalls_; }
  bool Locked() const { return locked_; }

 private:
  std::string path_ = "memory";
  std::vector<std::byte> data_;
  uint32_t sectorSize_;
  bool readOnly_ = false;
  int failReads_ = 0;
  uint64_t shortReadBy_ = 0;
  int failWrites_ = 0;
  bool refuseLock_ = false;
  bool locked_ = false;
  int readCalls_ = 0;
  int writeCalls_ = 0;
};

}  // namespace stow::platform
