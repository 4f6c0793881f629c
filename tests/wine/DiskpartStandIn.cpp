// A stand-in for the system's diskpart.exe in the Wine tests: Wine has no
// diskpart. It takes diskpart's command line
//   diskpart.exe /s SCRIPT
// and answers each line of SCRIPT from canned answers in the folder named by
// STOWLINE_DISKPART_ANSWERS: a line such as "select partition 2" is answered
// by the file "select-partition-2.txt" printed as it is, or fails with the
// file "select-partition-2.fail" printed and status 1 (diskpart stops a script
// at its first failing command). After "select partition N", an answer for
// that partition ("detail-partition.p3.txt") is preferred where there is one;
// once a line "create partition ..." has been answered, one with ".after"
// ("list-partition.after.txt", "detail-partition.p3.after.txt") is, so that
// the disk shows what was made. Every line run is appended to the file
// named by STOWLINE_DISKPART_LOG, so a test sees which commands ran. It is
// installed as C:\windows\system32\diskpart.exe in the tests' own Wine prefix.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string Environment(const char* name) {
  char value[1024] = {};
  const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// "format quick fs=fat32 label=\"EFI\"" -> "format-quick-fs-fat32-label-efi".
std::string KeyOf(const std::string& line) {
  std::string key;
  for (const char c : line) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!key.empty() && key.back() != '-') {
      key += '-';
    }
  }
  while (!key.empty() && key.back() == '-') key.pop_back();
  return key;
}

bool Print(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  std::fputs(text.str().c_str(), stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || _stricmp(argv[1], "/s") != 0) {
    std::fputs("diskpart stand-in: expected /s SCRIPT\n", stderr);
    return 2;
  }
  std::ifstream script(argv[2]);
  if (!script) {
    std::fprintf(stderr, "diskpart stand-in: cannot read %s\n", argv[2]);
    return 2;
  }
  const std::string answers = Environment("STOWLINE_DISKPART_ANSWERS");
  const std::string log = Environment("STOWLINE_DISKPART_LOG");
  std::fputs(
      "\r\nDiskPart stand-in version 1.0\r\n\r\nCopyright (C) 2026.\r\n"
      "On computer: WINE\r\n\r\n",
      stdout);
  std::string line;
  std::string partition;  // ".p3" once partition 3 is selected
  while (std::getline(script, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    const std::string key = KeyOf(line);
    if (key.empty()) continue;
    if (!log.empty()) std::ofstream(log, std::ios::app) << line << "\n";
    const std::string base = answers + "\\" + key;
    const bool made = ::GetFileAttributesA((answers + "\\made").c_str()) != INVALID_FILE_ATTRIBUTES;
    if (Print(base + partition + ".fail") || Print(base + ".fail")) return 1;
    const bool answered = (made && Print(base + partition + ".after.txt")) ||
                          Print(base + partition + ".txt") ||
                          (made && Print(base + ".after.txt")) || Print(base + ".txt");
    static_cast<void>(answered);
    if (key.rfind("select-partition-", 0) == 0) {
      partition = ".p" + key.substr(std::char_traits<char>::length("select-partition-"));
    } else if (key.rfind("select-disk-", 0) == 0) {
      partition.clear();
    }
    if (key.rfind("create-partition", 0) == 0) std::ofstream(answers + "\\made") << "\n";
  }
  return 0;
}
