// The Windows platform layer on its own, under Wine: drive letters as volume
// names, the command lines of the system's tools, processes with pipes,
// positioned transfers past 4 GiB (the OVERLAPPED offset's high half), files
// written beside and renamed, and the task locks.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/BlockDevice.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/SystemTools.h"
#include "platform/VolumeId.h"
#include "platform/VolumeLock.h"
#include "platform/VolumeUse.h"
#include "platform/windows/Win32.h"
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
  EXPECT_EQ(NtfsFormatCommand(request),
            (std::vector<std::string>{format, "E:", "/Q", "/X", "/fs:NTFS", "/y"}));
  request.clusterBytes = 4096;
  EXPECT_EQ(NtfsFormatCommand(request)[4], "/A:4096");
  request.clusterBytes = 8192;
  EXPECT_EQ(NtfsFormatCommand(request)[4], "/A:8K");
  request.clusterBytes = 65536;
  EXPECT_EQ(NtfsFormatCommand(request)[4], "/A:64K");
  request.clusterBytes = 512;
  EXPECT_EQ(NtfsFormatCommand(request)[4], "/A:512");
  EXPECT_EQ(VolumeCheckCommand("\\\\.\\E:"),
            (std::vector<std::string>{ProgramFolders().front() + "\\chkdsk.exe", "E:", "/f", "/x"}));
}

TEST(WindowsProcess, RunsSystemProgramsWithTheirOutputAndStatus) {
  ProcessOutcome out;
  RunProcess({"cmd.exe", "/c", "echo one two& exit 3"}, 1024, out);
  ASSERT_EQ(out.stage, ProcessStage::kEnded) << out.error;
  EXPECT_EQ(out.exitStatus, 3);
  EXPECT_NE(out.output.find("one two"), std::string::npos) << out.output;

  // Arguments with blanks and quotes reach the program as one argument each.
  RunProcess({"cmd.exe", "/c", "echo", "a \"b\" c"}, 1024, out);
  ASSERT_EQ(out.stage, ProcessStage::kEnded);
  EXPECT_EQ(out.exitStatus, 0);

  // Output past the limit is read and dropped; the program is never blocked.
  RunProcess({"cmd.exe", "/c", "for /L %i in (1,1,400) do @echo 0123456789"}, 100, out);
  ASSERT_EQ(out.stage, ProcessStage::kEnded);
  EXPECT_EQ(out.output.size(), 100u);
  EXPECT_TRUE(out.outputTruncated);
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
  ProcessOutcome out;
  RunProcess({"no-such-program-here"}, 100, out);
  EXPECT_EQ(out.stage, ProcessStage::kStart);
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
    ProcessOutcome out;
    RunProcess({win::Narrow(program.filename().wstring()), "--gtest_filter=WindowsLocks.Probe"},
               65536, out);
    ::SetEnvironmentVariableW(L"STOWLINE_LOCK_PROBE", nullptr);
    EXPECT_EQ(out.stage, ProcessStage::kEnded);
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
