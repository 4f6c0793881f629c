#include "platform/Process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <mutex>

#include "support/Log.h"

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

void RunProcess(const std::vector<std::string>& argv, size_t outputLimit, ProcessOutcome& out) {
  out = ProcessOutcome{};
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    out.error = errno;
    return;
  }
  if (argv.empty()) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    out.stage = ProcessStage::kStart;
    out.error = EINVAL;
    return;
  }

  std::string program;
  if (const int resolved = ResolveProgram(argv[0], program); resolved != 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    LogLess("program %s is not in the system's program folders, not run", argv[0].c_str());
    out.stage = ProcessStage::kStart;
    out.error = resolved;
    return;
  }
  LogLess("running %s", program.c_str());

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (rc != 0) {
    ::close(pipeFds[0]);
    out.stage = ProcessStage::kStart;
    out.error = rc;
    return;
  }

  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const size_t room = outputLimit - out.output.size();
    const size_t keep = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
    out.output.append(buffer, keep);
    if (keep < static_cast<size_t>(n)) out.outputTruncated = true;
  }
  ::close(pipeFds[0]);

  int status = 0;
  out.stage = ProcessStage::kEnded;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      out.error = errno;
      return;
    }
  }
  if (WIFEXITED(status)) {
    out.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    out.exitStatus = 128 + WTERMSIG(status);
  }
}

std::string ScriptFileName(const std::string& stem) { return stem + ".sh"; }

std::vector<std::string> ScriptCommand(const std::string& path) { return {"bash", path}; }

int RunProgram(const std::vector<std::string>& argv, std::string& output) {
  ProcessOutcome outcome;
  RunProcess(argv, std::string::npos, outcome);
  output = std::move(outcome.output);
  if (outcome.stage != ProcessStage::kEnded || outcome.error != 0) return -1;
  return outcome.exitStatus;
}

}  // namespace stow::platform
