// The program folders on Linux; the runner itself is in ProgramRunner.cpp.
#include "platform/Process.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace stow::platform {
namespace {

// The folders of the system's own programs; /sbin and /bin last for systems
// where they are not links into /usr.
const std::vector<std::string> kSystemFolders = {"/usr/sbin", "/usr/bin", "/sbin", "/bin"};

std::mutex foldersMutex;
std::vector<std::string> testFolders;

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::vector<std::string> ProgramFolders() {
  std::lock_guard lock(foldersMutex);
  return testFolders.empty() ? kSystemFolders : testFolders;
}

void SetProgramFoldersForTesting(std::vector<std::string> folders) {
  std::lock_guard lock(foldersMutex);
  testFolders = std::move(folders);
}

int ResolveProgram(const std::string& wanted, std::string& path) {
  // A copy on purpose: `path` may be the same string as `wanted`.
  const std::string name = wanted;  // NOLINT(performance-unnecessary-copy-initialization)
  path.clear();
  if (name.empty()) return ENOENT;
  const std::vector<std::string> folders = ProgramFolders();
  if (name.find('/') != std::string::npos) {
    // A path: only one that names a file directly inside a program folder.
    const size_t slash = name.rfind('/');
    const std::string folder = name.substr(0, slash);
    const std::string file = name.substr(slash + 1);
    bool inside = false;
    for (const std::string& f : folders) inside = inside || f == folder;
    if (!inside || file.empty() || file == "." || file == "..") return ENOENT;
    if (!IsExecutableFile(name)) return ENOENT;
    path = name;
    return 0;
  }
  if (name == "." || name == "..") return ENOENT;
  for (const std::string& folder : folders) {
    const std::string candidate = folder + "/" + name;
    if (IsExecutableFile(candidate)) {
      path = candidate;
      return 0;
    }
  }
  return ENOENT;
}

std::string ScriptFileName(const std::string& stem) { return stem + ".sh"; }

std::vector<std::string> ScriptCommand(const std::string& path) { return {"bash", path}; }

}  // namespace stow::platform
