// The partition split script of the Windows build (AssistSplitPartition.bat)
// under Wine's command interpreter. Wine has no diskpart: the stand-in
// (DiskpartStandIn.cpp, installed as the system's diskpart.exe by
// scripts/run-wine-tests.sh) answers from canned answers written here, in the
// shape of diskpart's own, and logs the commands it was given. What is held:
// the arguments are refused before diskpart runs; the script refuses a volume
// that is not the one described, not on GPT, not NTFS or without the room,
// and changes nothing then; it makes and formats the partition with nothing
// that touches the volume's letter; and every failure ends with one line and
// the status the Linux script gives for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/windows/Win32.h"
#include "tests/testlib/TestUtil.h"

namespace stow::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBasicData = "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7";
constexpr const char* kEsp = "c12a7328-f81f-11d2-ba4b-00a0c93ec93b";
constexpr const char* kReserved = "e3c9e316-0b5c-4db8-817d-f92df00215ae";

fs::path ProgramFolder() {
  wchar_t self[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  return fs::path(std::wstring(self, length)).parent_path();
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// "detail partition" as diskpart prints it; `volumeRow` empty: no volume.
std::string Detail(int number, const std::string& type, const std::string& volumeRow) {
  std::string text = "\nPartition " + std::to_string(number) + "\nType    : " + type +
                     "\nHidden  : No\nRequired: No\nAttrib  : 0000000000000000\n"
                     "Offset in Bytes: 17825792\n\n";
  if (volumeRow.empty()) return text + "There is no volume associated with this partition.\n";
  return text +
         "  Volume ###  Ltr  Label        Fs     Type        Size     Status     Info\n"
         "  ----------  ---  -----------  -----  ----------  -------  ---------  --------\n" +
         volumeRow + "\n";
}

std::string List(const std::vector<std::string>& rows) {
  std::string text =
      "\n  Partition ###  Type              Size     Offset\n"
      "  -------------  ----------------  -------  -------\n";
  for (const std::string& row : rows) text += row + "\n";
  return text;
}

const std::string kDataRow = "* Volume 3     D   Data Disk    NTFS   Partition     20 GB  Healthy";
const std::string kEspRow =
    "* Volume 4         EFI          FAT32  Partition    260 MB  Healthy    Hidden";

// Disk 1: a reserved partition 1 and the NTFS volume D: as partition 2, 20 GiB,
// 12 GiB of it free; once the partition is made, an EFI system partition 3.
std::map<std::string, std::string> GoodDisk() {
  return {
      {"select-disk-1.txt", "Disk 1 is now the selected disk.\n"},
      {"select-partition-1.txt", "Partition 1 is now the selected partition.\n"},
      {"select-partition-2.txt", "Partition 2 is now the selected partition.\n"},
      {"select-partition-3.txt", "Partition 3 is now the selected partition.\n"},
      {"detail-partition.p1.txt", Detail(1, kReserved, "")},
      {"detail-partition.p2.txt", Detail(2, kBasicData, kDataRow)},
      {"detail-partition.p3.after.txt", Detail(3, kEsp, kEspRow)},
      {"list-partition.txt", List({"  Partition 1    Reserved            16 MB    17 KB",
                                   "  Partition 2    Primary             20 GB    17 MB"})},
      {"list-partition.after.txt", List({"  Partition 1    Reserved            16 MB    17 KB",
                                         "  Partition 2    Primary             19 GB    17 MB",
                                         "  Partition 3    System             260 MB    19 GB"})},
      {"select-volume-d.txt", "Volume 3 is the selected volume.\n"},
      {"shrink-querymax.txt", "The maximum number of reclaimable bytes is:   12 GB (12653 MB)\n"},
      {"shrink-desired-260-minimum-260.txt",
       "DiskPart successfully shrunk the volume by:  260 MB\n"},
      {"create-partition-efi-size-260.txt",
       "DiskPart succeeded in creating the specified partition.\n"},
      {"format-quick-fs-fat32-label-efi.txt",
       "  100 percent completed\n\nDiskPart successfully formatted the volume.\n"},
  };
}

struct Outcome {
  int status = -1;
  std::string output;
  std::vector<std::string> commands;  // what diskpart was given, in order
};

class SplitScript : public ::testing::Test {
 protected:
  void SetUp() override {
    script_ = ProgramFolder() / "AssistSplitPartition.bat";
    if (!fs::exists(script_)) GTEST_SKIP() << "the script is not beside the tests: build them";
    // The real diskpart would change the disks of this machine: only the
    // stand-in, byte for byte, is run.
    const fs::path system = fs::path(win::Widen(win::SystemDirectory())) / "diskpart.exe";
    const fs::path standIn = ProgramFolder() / "stowline-diskpart-standin.exe";
    if (!fs::exists(system) || !fs::exists(standIn) || ReadAll(system) != ReadAll(standIn)) {
      GTEST_SKIP() << "the system's diskpart.exe is not the stand-in "
                      "(scripts/run-wine-tests.sh installs it)";
    }
  }

  Outcome Run(const std::vector<std::string>& args,
              const std::map<std::string, std::string>& answers) {
    test::TempDir dir;
    const fs::path folder = dir / "answers";
    fs::create_directory(folder);
    for (const auto& [name, text] : answers) {
      std::ofstream out(folder / name, std::ios::binary);
      for (const char c : text) {
        if (c == '\n') out << '\r';
        out << c;
      }
    }
    const fs::path log = dir / "diskpart.log";
    ::SetEnvironmentVariableW(L"STOWLINE_DISKPART_ANSWERS", folder.wstring().c_str());
    ::SetEnvironmentVariableW(L"STOWLINE_DISKPART_LOG", log.wstring().c_str());
    std::vector<std::string> argv{"cmd.exe", "/c", win::Narrow(script_.wstring())};
    argv.insert(argv.end(), args.begin(), args.end());
    const RunOutcome run = RunProgram({.argv = argv});
    ::SetEnvironmentVariableW(L"STOWLINE_DISKPART_ANSWERS", nullptr);
    ::SetEnvironmentVariableW(L"STOWLINE_DISKPART_LOG", nullptr);
    Outcome out;
    EXPECT_EQ(run.end, kExited);
    out.status = run.exitStatus;
    out.output = run.output;
    while (!out.output.empty() && (out.output.back() == '\n' || out.output.back() == '\r')) {
      out.output.pop_back();
    }
    std::istringstream lines(ReadAll(log));
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      out.commands.push_back(line);
    }
    return out;
  }

  fs::path script_;
};

bool Ran(const Outcome& o, const std::string& command) {
  for (const std::string& c : o.commands) {
    if (c.rfind(command, 0) == 0) return true;
  }
  return false;
}

// One line, from the script, naming `words`.
void ExpectLine(const Outcome& o, int status, const std::string& words) {
  EXPECT_EQ(o.status, status) << o.output;
  EXPECT_EQ(o.output.find('\n'), std::string::npos) << "one line: " << o.output;
  EXPECT_EQ(o.output.rfind("AssistSplitPartition: ", 0), 0u) << o.output;
  EXPECT_NE(o.output.find(words), std::string::npos) << o.output;
}

TEST_F(SplitScript, ArgumentsAreRefusedBeforeDiskpartRuns) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* words;
  } cases[] = {
      {{}, 2, "expected 4 arguments"},
      {{"1", "2", "20480"}, 2, "expected 4 arguments"},
      {{"1", "2", "20480", "D", "E"}, 2, "got more"},
      {{"x", "2", "20480", "D"}, 2, "disk number 'x'"},
      {{"-1", "2", "20480", "D"}, 2, "disk number '-1'"},
      {{"1", "0", "20480", "D"}, 2, "partition number '0'"},
      {{"1", "02", "20480", "D"}, 2, "partition number '02'"},
      {{"1", "2", "20480x", "D"}, 2, "size '20480x'"},
      {{"1", "2", "99999999999", "D"}, 2, "size '99999999999'"},
      {{"1", "2", "20480", "DE"}, 2, "drive letter 'DE'"},
      {{"1", "2", "20480", "7"}, 2, "drive letter '7'"},
      {{"1", "2", "20480", "D:\\"}, 2, "drive letter"},
      {{"1", "2", "500", "D"}, 8, "too small"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome o = Run(c.args, GoodDisk());
    ExpectLine(o, c.status, c.words);
    EXPECT_TRUE(o.commands.empty()) << "diskpart ran";
  }
}

TEST_F(SplitScript, MakesAndFormatsTheEfiSystemPartitionAndLeavesTheLetterAlone) {
  const Outcome o = Run({"1", "2", "20480", "d:"}, GoodDisk());
  ExpectLine(o, 0, "D: gave up 260 MiB");
  EXPECT_NE(o.output.find("partition 3, FAT32"), std::string::npos) << o.output;
  // The changes, in this order, on the volume and the disk given.
  const std::vector<std::string> changes{"select volume D", "shrink desired=260 minimum=260",
                                         "select disk 1", "create partition efi size=260",
                                         "format quick fs=fat32 label=\"EFI\""};
  auto at = std::search(o.commands.begin(), o.commands.end(), changes.begin(), changes.end());
  EXPECT_NE(at, o.commands.end()) << ::testing::PrintToString(o.commands);
  // The room was asked for before anything changed.
  auto query = std::find(o.commands.begin(), o.commands.end(), "shrink querymax");
  EXPECT_LT(query, at);
  for (const std::string& c : o.commands) {
    for (const char* never : {"assign", "remove", "delete", "clean", "convert", "active"}) {
      EXPECT_EQ(c.find(never), std::string::npos) << c;
    }
  }
}

TEST_F(SplitScript, RefusesWithoutAChangeWhatItMustNotSplit) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> answers;
    int status;
    const char* words;
  };
  std::vector<Case> cases;
  auto disk = GoodDisk();

  disk["detail-partition.p2.txt"] =
      Detail(2, kBasicData, "* Volume 3     E   Data Disk    NTFS   Partition     20 GB  Healthy");
  cases.push_back({"another letter", disk, 4, "is not the volume D:"});
  disk = GoodDisk();
  disk.erase("select-disk-1.txt");
  disk["select-disk-1.fail"] = "The disk you specified is not valid.\n";
  cases.push_back({"no such disk", disk, 4, "The disk you specified is not valid."});
  disk = GoodDisk();
  disk["detail-partition.p2.txt"] = Detail(2, "07", kDataRow);
  cases.push_back({"an MBR disk", disk, 5, "GPT"});
  disk = GoodDisk();
  disk["detail-partition.p2.txt"] =
      Detail(2, kBasicData, "* Volume 3     D   Data Disk    FAT32  Partition     20 GB  Healthy");
  cases.push_back({"not NTFS", disk, 7, "holds no NTFS"});
  disk = GoodDisk();
  disk["list-partition.txt"] = disk["list-partition.after.txt"];
  disk["detail-partition.p3.txt"] = Detail(
      3, kEsp, "* Volume 4         EFI          RAW    Partition    260 MB  Healthy    Hidden");
  cases.push_back({"an EFI system partition without FAT", disk, 5, "without a FAT file system"});
  disk = GoodDisk();
  disk["shrink-querymax.txt"] = "The maximum number of reclaimable bytes is:  100 MB (100 MB)\n";
  cases.push_back({"too little free space", disk, 8, "can give up only 100 MiB"});
  disk = GoodDisk();
  disk.erase("shrink-querymax.txt");
  disk["shrink-querymax.fail"] = "Virtual Disk Service error:\nThe volume cannot be shrunk.\n";
  cases.push_back({"a volume that cannot shrink", disk, 7, "The volume cannot be shrunk."});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = Run({"1", "2", "20480", "D"}, c.answers);
    ExpectLine(o, c.status, c.words);
    EXPECT_NE(o.output.find("nothing was changed"), std::string::npos) << o.output;
    EXPECT_FALSE(Ran(o, "shrink desired")) << "the volume was shrunk";
    EXPECT_FALSE(Ran(o, "create")) << "a partition was made";
  }

  // A disk with a FAT32 EFI system partition already needs nothing.
  disk = GoodDisk();
  disk["list-partition.txt"] = disk["list-partition.after.txt"];
  disk["detail-partition.p3.txt"] = disk["detail-partition.p3.after.txt"];
  const Outcome o = Run({"1", "2", "20480", "D"}, disk);
  ExpectLine(o, 0, "already has an EFI system partition with a FAT file system (partition 3)");
  EXPECT_FALSE(Ran(o, "shrink desired"));
  EXPECT_FALSE(Ran(o, "create"));
}

TEST_F(SplitScript, AFailureAfterTheShrinkSaysWhatIsLeftToDo) {
  auto disk = GoodDisk();
  disk.erase("shrink-desired-260-minimum-260.txt");
  disk["shrink-desired-260-minimum-260.fail"] =
      "Virtual Disk Service error:\nThe specified shrink size is too big.\n";
  Outcome o = Run({"1", "2", "20480", "D"}, disk);
  ExpectLine(o, 7, "keeps all its files");
  EXPECT_FALSE(Ran(o, "create"));

  disk = GoodDisk();
  disk.erase("create-partition-efi-size-260.txt");
  disk["create-partition-efi-size-260.fail"] =
      "There is not enough usable space for this operation.\n";
  o = Run({"1", "2", "20480", "D"}, disk);
  ExpectLine(o, 9, "create partition efi size=260, format quick fs=fat32");
  EXPECT_NE(o.output.find("not enough usable space"), std::string::npos) << o.output;

  // diskpart said it made the partition, but the disk shows none.
  disk = GoodDisk();
  disk.erase("list-partition.after.txt");
  o = Run({"1", "2", "20480", "D"}, disk);
  ExpectLine(o, 9, "shows none with a FAT file system");

  // The volume lost its letter on the way.
  disk = GoodDisk();
  disk["detail-partition.p2.after.txt"] =
      Detail(2, kBasicData, "* Volume 3         Data Disk    NTFS   Partition     19 GB  Healthy");
  o = Run({"1", "2", "20480", "D"}, disk);
  ExpectLine(o, 9, "assign letter=D");
}

}  // namespace
}  // namespace stow::platform
