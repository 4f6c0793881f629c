// The Windows platform layer on its own, under Wine: drive letters as volume
// names, the command lines of the system's tools, processes with pipes,
// positioned transfers past 4 GiB (the OVERLAPPED offset's high half), reads
// past a dropped cache, files written beside and renamed, and the task locks.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/BlockDevice.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/NtfsTools.h"
#include "platform/VolumeId.h"
#include "platform/VolumeLock.h"
#include "platform/VolumeUse.h"
#include "platform/windows/Win32.h"
#include "platform/windows/WinBlockDevices.h"
#include "tests/testlib/TestUtil.h"

namespace stow::platform {
namespace {

namespace fs = std::filesystem;

TEST(WindowsVolumeId, EverySpellingOfALetterOpensTheVolumeAndShowsTheLetter) {
  for (const char* spelling : {"d", "d:", "D:\\", "\\\\.\\D:", "D:/"}) {
    const VolumeId volume(spelling);
    EXPECT_EQ(volume.DevicePath(), "\\\\.\\D:") << spelling;
    EXPECT_EQ(volume.DisplayName(), "D") << spelling;
  }
  EXPECT_EQ(VolumeId("D:\\images\\a.img").DevicePath(), "D:\\images\\a.img");
  EXPECT_EQ(VolumeId("vol.img").DisplayName(), "vol.img");
  EXPECT_EQ(VolumeId("DD:").DevicePath(), "DD:") << "not a letter";
  EXPECT_EQ(VolumeId("\\\\.\\PhysicalDrive1").DisplayName(), "\\\\.\\PhysicalDrive1");
}

TEST(WindowsTools, FormatAndCheckCommandsFollowTheClusterRule) {
  NtfsFormatRequest request;
  request.device = "\\\\.\\E:";
  const std::string format = ProgramFolders().front() + "\\format.com";
  EXPECT_EQ(NtfsTools::FormatCommand(request),
            (std::vector<std::string>{format, "E:", "/Q", "/X", "/fs:NTFS", "/y"}));
  request.clusterBytes = 4096;
  EXPECT_EQ(NtfsTools::FormatCommand(request)[4], "/A:4096");
  request.clusterBytes = 8192;
  EXPECT_EQ(NtfsTools::FormatCommand(request)[4], "/A:8K");
  request.clusterBytes = 65536;
  EXPECT_EQ(NtfsTools::FormatCommand(request)[4], "/A:64K");
  request.clusterBytes = 512;
  EXPECT_EQ(NtfsTools::FormatCommand(request)[4], "/A:512");
  EXPECT_EQ(NtfsTools::CheckCommand("\\\\.\\E:"),
            (std::vector<std::string>{ProgramFolders().front() + "\\chkdsk.exe", "E:", "/f", "/x"}));
}

TEST(WindowsProcess, RunsSystemProgramsWithTheirOutputAndStatus) {
  RunOutcome out = RunProgram({.argv = {"cmd.exe", "/c", "echo one two& exit 3"}});
  ASSERT_EQ(out.end, kExited) << out.error;
  EXPECT_EQ(out.exitStatus, 3);
  EXPECT_EQ(out.lines, std::vector<std::string>{"one two"}) << out.output;

  // Arguments with blanks and quotes reach the program as one argument each.
  out = RunProgram({.argv = {"cmd.exe", "/c", "echo", "a \"b\" c"}});
  ASSERT_EQ(out.end, kExited);
  EXPECT_EQ(out.exitStatus, 0);

  // Output past the limit is read and dropped; the program is never blocked.
  out = RunProgram({.argv = {"cmd.exe", "/c", "for /L %i in (1,1,400) do @echo 0123456789"},
                    .outputLimit = 100});
  ASSERT_EQ(out.end, kExited);
  EXPECT_EQ(out.output.size(), 100u);
  EXPECT_TRUE(out.outputTruncated);
  EXPECT_EQ(out.lines.size(), 9u) << "eight whole lines and the start of the ninth";

  out = RunProgram({.argv = {"cmd.exe", "/c", "echo %STOWLINE_RUN_A%"},
                    .environment = {"STOWLINE_RUN_A=set here"}});
  EXPECT_EQ(out.lines, std::vector<std::string>{"set here"});
}

// A program that never ends by itself: killed at the time limit, or on a stop.
TEST(WindowsProcess, AProgramIsKilledAtItsTimeLimitOrOnAStop) {
  const std::vector<std::string> endless{"cmd.exe", "/c", "for /L %i in (1,0,2) do @rem"};
  RunOutcome out = RunProgram({.argv = endless, .timeLimit = std::chrono::milliseconds(500)});
  EXPECT_EQ(out.end, kTimedOut);
  EXPECT_EQ(out.exitStatus, 137);
  int polls = 0;
  out = RunProgram({.argv = endless, .stop = [&] { return ++polls > 3; }});
  EXPECT_EQ(out.end, kStopped);
  EXPECT_EQ(out.exitStatus, 137);
}

TEST(WindowsProcess, OnlyTheSystemFoldersProvidePrograms) {
  std::string path;
  EXPECT_EQ(ResolveProgram("cmd", path), 0);
  EXPECT_EQ(ResolveProgram("cmd.exe", path), 0);
  EXPECT_NE(path.find("cmd.exe"), std::string::npos);
  test::TempDir dir;
  const std::string outside = (dir / "tool.exe").string();
  std::ofstream(outside) << "MZ";
  EXPECT_EQ(ResolveProgram(outside, path), ENOENT) << "outside the system folders";
  EXPECT_EQ(ResolveProgram("no-such-program-here", path), ENOENT);
  const RunOutcome out = RunProgram({.argv = {"no-such-program-here"}});
  EXPECT_EQ(out.end, kNotAllowed);
  EXPECT_EQ(out.error, ENOENT);
  EXPECT_EQ(ScriptFileName("AssistSplitPartition"), "AssistSplitPartition.bat");
}

TEST(WindowsFiles, PositionedTransfersPastFourGiB) {
  test::TempDir dir;
  const std::string path = (dir / "big.img").string();
  std::unique_ptr<BlockDevice> file;
  ASSERT_EQ(CreateNewFile(path, file), 0);
  EXPECT_EQ(CreateNewFile(path, file), EEXIST) << "a file that exists is never taken over";
  ASSERT_EQ(CreateRegularFile(path, file), 0);
  const uint64_t beyond = (uint64_t{5} << 30) + 4096 + 17;
  const std::array<std::byte, 5> pattern{std::byte{1}, std::byte{2}, std::byte{3}, std::byte{4},
                                         std::byte{5}};
  ASSERT_EQ(file->WriteAt(beyond, pattern).bytes, pattern.size());
  ASSERT_EQ(file->WriteAt(4096 + 17, pattern).bytes, pattern.size());
  ASSERT_EQ(file->Flush(), 0);
  file.reset();

  uint64_t size = 0;
  ASSERT_EQ(QueryFileSize(path, size), 0);
  EXPECT_EQ(size, beyond + pattern.size());
  ASSERT_EQ(OpenBlockDevice(path, true, file), 0);
  EXPECT_EQ(file->Size(), beyond + pattern.size());
  EXPECT_FALSE(file->IsBlockDevice());
  std::array<std::byte, 5> back{};
  ASSERT_EQ(file->ReadAt(beyond, back).bytes, back.size());
  EXPECT_EQ(back, pattern) << "the offset's high half reached the file";
  // Low half alone: the same bytes 5 GiB lower are still zero there.
  ASSERT_EQ(file->ReadAt(beyond - (uint64_t{5} << 30) + 8192, back).bytes, back.size());
  EXPECT_EQ(back, (std::array<std::byte, 5>{}));
  // A read across the end delivers what is there and says so by its count.
  std::array<std::byte, 16> tail{};
  const IoResult r = file->ReadAt(beyond, tail);
  EXPECT_EQ(r.bytes, pattern.size());
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(file->WriteAt(0, pattern).bytes, 0u) << "opened read-only";
  file.reset();

  EXPECT_EQ(OpenBlockDevice(dir.Path().string(), true, file), ENOTBLK) << "a folder";
  EXPECT_EQ(OpenBlockDevice((dir / "missing.img").string(), true, file), ENOENT);
}

// After the cache is dropped, reads go around it in aligned blocks: whatever
// the offset and length, they deliver exactly the file's bytes, end short at
// the end of a file whose size is no multiple of a block, and see a write made
// after the drop.
TEST(WindowsFiles, ReadsAfterTheCacheIsDroppedDeliverTheFilesBytes) {
  test::TempDir dir;
  const std::string path = (dir / "verify.img").string();
  const uint64_t size = (uint64_t{1} << 20) + 3 * 4096 + 1234;
  std::vector<std::byte> expected(size);
  for (uint64_t i = 0; i < size; ++i) expected[i] = static_cast<std::byte>((i * 7) ^ (i >> 9));
  std::unique_ptr<BlockDevice> file;
  ASSERT_EQ(CreateRegularFile(path, file), 0);
  ASSERT_EQ(file->WriteAt(0, expected).bytes, size);
  ASSERT_EQ(file->Flush(), 0);
  ASSERT_EQ(file->DropCachedData(0, 0), 0);

  const auto readsBack = [&](BlockDevice& device, uint64_t offset, uint64_t length) {
    std::vector<std::byte> back(length, std::byte{0xEE});
    const IoResult r = device.ReadAt(offset, back);
    const uint64_t there = offset >= size ? 0 : std::min(length, size - offset);
    EXPECT_EQ(r.error, 0) << "at " << offset << " for " << length;
    EXPECT_EQ(r.bytes, there) << "at " << offset << " for " << length;
    back.resize(std::min<uint64_t>(r.bytes, there));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), expected.begin() + offset))
        << "at " << offset << " for " << length;
  };
  const uint64_t cases[][2] = {
      {0, size},           // the whole file, over more than one bounce buffer
      {3, size + 5000},    // unaligned, across the end
      {1, 4095},           // within the first block
      {4095, 2},           // across a block boundary
      {8192, 4096},        // one aligned block
      {(uint64_t{1} << 20) - 5, 10},  // across the bounce buffer's size
      {size - 1234 - 7, 20},          // into the last partial block
      {size - 1, 10},      // the last byte alone
      {size - 1234, 4096}, // the last partial block from its start
      {size, 10},          // at the end
      {size + 8000, 10},   // past it
      {5, 0},              // nothing
  };
  for (const auto& c : cases) readsBack(*file, c[0], c[1]);

  // A write after the drop is read back, before and after the next drop.
  const std::array<std::byte, 7> patch{std::byte{0xA1}, std::byte{0xA2}, std::byte{0xA3},
                                       std::byte{0xA4}, std::byte{0xA5}, std::byte{0xA6},
                                       std::byte{0xA7}};
  const uint64_t at = 2 * 4096 + 4093;
  ASSERT_EQ(file->WriteAt(at, patch).bytes, patch.size());
  std::copy(patch.begin(), patch.end(), expected.begin() + at);
  readsBack(*file, at - 2, 11);
  ASSERT_EQ(file->Flush(), 0);
  ASSERT_EQ(file->DropCachedData(0, 0), 0);
  readsBack(*file, at - 2, 11);
  readsBack(*file, 0, size);
  file.reset();

  // Opened for reading only, as an image is checked.
  ASSERT_EQ(OpenBlockDevice(path, true, file), 0);
  ASSERT_EQ(file->DropCachedData(4096, 4096), 0) << "a range drops the whole file's cache too";
  readsBack(*file, 17, size);
  readsBack(*file, size - 3, 4096);
}

// A volume or disk is opened unbuffered, so every transfer the system sees
// must lie on its sectors. Here a file opened the same way stands in for one:
// unaligned reads and writes, in memory and on the device, land exactly where
// asked; a sector written in part keeps the rest of its bytes; reads end at the
// device's end; and nothing needs dropping before a read-back.
TEST(WindowsFiles, AnUnbufferedDeviceMovesExactlyTheAskedBytesWhateverTheAlignment) {
  for (const uint32_t sector : {512u, 4096u}) {
    test::TempDir dir;
    const std::string path = (dir / "device.img").string();
    const uint64_t size = (uint64_t{2} << 20) + 5 * uint64_t{sector};
    std::vector<std::byte> expected(size);
    for (uint64_t i = 0; i < size; ++i) expected[i] = static_cast<std::byte>((i * 13) ^ (i >> 11));
    {
      std::ofstream out(path, std::ios::binary);
      out.write(reinterpret_cast<const char*>(expected.data()), static_cast<std::streamsize>(size));
    }
    std::unique_ptr<BlockDevice> device;
    ASSERT_EQ(OpenFileAsUnbufferedDeviceForTesting(path, sector, device), 0);
    ASSERT_EQ(device->Size(), size);

    // Writes: {offset, length, offset of the data in a buffer aligned on the sector}.
    const uint64_t writes[][3] = {
        {0, sector, 0},                                // one aligned sector
        {sector, 2 * uint64_t{sector}, 3},             // aligned on the device, not in memory
        {5 * uint64_t{sector} + 7, 10, 0},             // inside one sector
        {7 * uint64_t{sector} - 3, 6, 0},              // across a sector boundary
        {100001, (uint64_t{1} << 20) + 12345, 1},      // over more than one bounce buffer
        {size - 9, 9, 0},                              // the device's last bytes
    };
    uint8_t fill = 0x40;
    for (const auto& w : writes) {
      std::vector<std::byte> storage(w[1] + 2 * sector);
      const auto address = reinterpret_cast<uintptr_t>(storage.data());
      std::byte* const data = storage.data() + (sector - address % sector) % sector + w[2];
      for (uint64_t i = 0; i < w[1]; ++i) data[i] = static_cast<std::byte>(fill + i % 5);
      const IoResult r = device->WriteAt(w[0], std::span<const std::byte>(data, w[1]));
      EXPECT_EQ(r.error, 0) << sector << ": write at " << w[0];
      EXPECT_EQ(r.bytes, w[1]) << sector << ": write at " << w[0];
      std::copy(data, data + w[1], expected.begin() + static_cast<std::ptrdiff_t>(w[0]));
      ++fill;
    }
    EXPECT_EQ(device->Flush(), 0);
    EXPECT_EQ(device->DropCachedData(0, 0), 0) << "nothing is cached";

    const uint64_t reads[][2] = {
        {0, size}, {1, 4095}, {5 * uint64_t{sector} + 5, 14}, {100000, (uint64_t{1} << 20) + 20000},
        {size - 20, 20}, {size - 20, 4096}, {size, 10}, {size + 4096, 10}, {3, 0},
    };
    for (const auto& r : reads) {
      std::vector<std::byte> back(r[1] + 1, std::byte{0xEE});
      const IoResult got = device->ReadAt(r[0], std::span<std::byte>(back.data() + 1, r[1]));
      const uint64_t there = r[0] >= size ? 0 : std::min(r[1], size - r[0]);
      EXPECT_EQ(got.error, 0) << sector << ": read at " << r[0] << " for " << r[1];
      ASSERT_EQ(got.bytes, there) << sector << ": read at " << r[0] << " for " << r[1];
      EXPECT_TRUE(std::equal(back.begin() + 1, back.begin() + 1 + static_cast<std::ptrdiff_t>(there),
                             expected.begin() + static_cast<std::ptrdiff_t>(r[0])))
          << sector << ": read at " << r[0] << " for " << r[1];
    }
    device.reset();

    // What reached the file, every byte around the writes included.
    std::ifstream in(path, std::ios::binary);
    std::vector<std::byte> file(size + 1);
    in.read(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(size + 1));
    EXPECT_EQ(static_cast<uint64_t>(in.gcount()), size) << sector << ": the size stayed";
    file.resize(size);
    EXPECT_TRUE(file == expected) << sector;
  }
}

TEST(WindowsFiles, WrittenBesideAndRenamedOver) {
  test::TempDir dir;
  const std::string target = (dir / "image.stw").string();
  std::ofstream(target) << "old";
  const std::string partial = TemporaryPathBeside(target);
  EXPECT_EQ(fs::path(partial).parent_path(), fs::path(target).parent_path());
  EXPECT_NE(partial, target);
  std::ofstream(partial) << "new";
  ASSERT_EQ(ReplaceFile(partial, target), 0);
  std::string text;
  std::ifstream(target) >> text;
  EXPECT_EQ(text, "new");
  EXPECT_FALSE(fs::exists(partial));
  EXPECT_EQ(RemoveFile(target), 0);
  EXPECT_EQ(RemoveFile(target), ENOENT);

  uint64_t freeBytes = 0;
  EXPECT_EQ(QueryFreeSpace((dir / "not" / "yet" / "there.stw").string(), freeBytes), 0);
  EXPECT_GT(freeBytes, 0u);
}

TEST(WindowsLocks, ATaskLockConflictsWithAnExclusiveOneOnTheSameFile) {
  test::TempDir dir;
  const std::string path = (dir / "vol.img").string();
  std::ofstream(path) << "volume";
  std::shared_ptr<TaskLock> reader;
  ASSERT_EQ(LockVolumeForTask(path, LockMode::kShared, reader), 0);
  EXPECT_TRUE(ProcessHoldsTaskLock(path));
  std::shared_ptr<TaskLock> writer;
  std::string conflict;
  EXPECT_EQ(LockVolumeForTask(path, LockMode::kExclusive, writer, &conflict), EWOULDBLOCK);
  EXPECT_EQ(conflict, path);
  std::shared_ptr<TaskLock> second;
  EXPECT_EQ(LockVolumeForTask(path, LockMode::kShared, second), 0) << "readers share";
  reader.reset();
  second.reset();
  EXPECT_FALSE(ProcessHoldsTaskLock(path));
  EXPECT_EQ(LockVolumeForTask(path, LockMode::kExclusive, writer), 0);

  // The same file under another spelling meets on the same lock.
  const std::string other = (fs::path(path).parent_path() / "." / "vol.img").string();
  EXPECT_TRUE(SameVolume(path, other));
  EXPECT_TRUE(ProcessHoldsTaskLock(other));
  std::shared_ptr<TaskLock> again;
  EXPECT_EQ(LockVolumeForTask(other, LockMode::kExclusive, again), 0)
      << "this process's writer already holds it";
  again.reset();
  writer.reset();
  EXPECT_FALSE(ProcessHoldsTaskLock(other));

  // A file standing in for a volume is not in use by the system.
  VolumeUse use;
  ASSERT_EQ(QueryVolumeUse(path, use), 0);
  EXPECT_FALSE(use.mounted);
  EXPECT_TRUE(FileOverlapsVolume(path, other));
}

// The second process of the test below: takes the lock named by the
// environment and expects the answer named there ("busy" or "free").
TEST(WindowsLocks, Probe) {
  wchar_t value[1024] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"STOWLINE_LOCK_PROBE", value, 1024);
  if (length == 0 || length >= 1024) GTEST_SKIP() << "run by AnotherProcessMeetsTheLock only";
  const std::string probe = win::Narrow(value, length);
  const size_t bar = probe.rfind('|');
  ASSERT_NE(bar, std::string::npos);
  std::shared_ptr<TaskLock> lock;
  const int result = LockVolumeForTask(probe.substr(0, bar), LockMode::kExclusive, lock);
  EXPECT_EQ(result, probe.substr(bar + 1) == "busy" ? EWOULDBLOCK : 0);
}

TEST(WindowsLocks, AnotherProcessMeetsTheLock) {
  test::TempDir dir;
  const std::string path = (dir / "vol.img").string();
  std::ofstream(path) << "volume";
  wchar_t self[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  ASSERT_GT(length, 0u);
  const fs::path program(std::wstring(self, length));
  SetProgramFoldersForTesting({win::Narrow(program.parent_path().wstring())});
  auto probe = [&](const char* expect) {
    ::SetEnvironmentVariableW(L"STOWLINE_LOCK_PROBE", win::Widen(path + "|" + expect).c_str());
    const RunOutcome out = RunProgram(
        {.argv = {win::Narrow(program.filename().wstring()), "--gtest_filter=WindowsLocks.Probe"}});
    ::SetEnvironmentVariableW(L"STOWLINE_LOCK_PROBE", nullptr);
    EXPECT_EQ(out.end, kExited);
    return out.exitStatus == 0 ? std::string() : out.output;
  };
  {
    std::shared_ptr<TaskLock> reader;
    ASSERT_EQ(LockVolumeForTask(path, LockMode::kShared, reader), 0);
    EXPECT_EQ(probe("busy"), "") << "a writer elsewhere is refused while this task reads";
  }
  EXPECT_EQ(probe("free"), "") << "and may go on once the lock is released";
  SetProgramFoldersForTesting({});
}

}  // namespace
}  // namespace stow::platform
