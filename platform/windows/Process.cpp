// The program folders on Windows: the system folder; the runner itself is in
// ProgramRunner.cpp.
#include "platform/Process.h"

#include <mutex>

#include "platform/windows/Win32.h"

namespace stow::platform {
namespace {

std::mutex foldersMutex;
std::vector<std::string> testFolders;

bool IsRegularFile(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(win::Widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool HasProgramSuffix(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot < name.find_last_of("\\/") + 1) return false;
  std::string suffix = name.substr(dot);
  for (char& c : suffix) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return suffix == ".exe" || suffix == ".com" || suffix == ".bat" || suffix == ".cmd";
}

bool SameFolder(std::string a, std::string b) {
  while (!a.empty() && (a.back() == '\\' || a.back() == '/')) a.pop_back();
  while (!b.empty() && (b.back() == '\\' || b.back() == '/')) b.pop_back();
  return ::CompareStringOrdinal(win::Widen(a).c_str(), -1, win::Widen(b).c_str(), -1, TRUE) ==
         CSTR_EQUAL;
}

}  // namespace

std::vector<std::string> ProgramFolders() {
  std::lock_guard lock(foldersMutex);
  return testFolders.empty() ? std::vector<std::string>{win::SystemDirectory()} : testFolders;
}

void SetProgramFoldersForTesting(std::vector<std::string> folders) {
  std::lock_guard lock(foldersMutex);
  testFolders = std::move(folders);
}

int ResolveProgram(const std::string& wanted, std::string& path) {
  const std::string name = wanted;  // NOLINT(performance-unnecessary-copy-initialization)
  path.clear();
  if (name.empty() || name == "." || name == "..") return ENOENT;
  const std::vector<std::string> folders = ProgramFolders();
  const size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) {
    const std::string folder = name.substr(0, slash);
    const std::string file = name.substr(slash + 1);
    bool inside = false;
    for (const std::string& f : folders) inside = inside || SameFolder(f, folder);
    if (!inside || file.empty() || file == "." || file == "..") return ENOENT;
    if (!HasProgramSuffix(file) || !IsRegularFile(name)) return ENOENT;
    path = name;
    return 0;
  }
  for (const std::string& folder : folders) {
    for (const char* suffix : {"", ".exe", ".com"}) {
      const std::string candidate = folder + "\\" + name + suffix;
      if (HasProgramSuffix(candidate) && IsRegularFile(candidate)) {
        path = candidate;
        return 0;
      }
    }
  }
  return ENOENT;
}

std::string ScriptFileName(const std::string& stem) { return stem + ".bat"; }

std::vector<std::string> ScriptCommand(const std::string& path) { return {"cmd.exe", "/c", path}; }

}  // namespace stow::platform
