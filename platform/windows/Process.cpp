// Other programs on Windows: CreateProcessW with the standard output and
// standard error on an inheritable pipe, standard input on NUL, and no window.
#include "platform/Process.h"

#include <mutex>

#include "platform/windows/Win32.h"
#include "support/Log.h"

namespace stow::platform {
namespace {

std::mutex foldersMutex;
std::vector<std::string> testFolders;
// Inheritable handles exist from the pipe's creation until the child has
// started; a second start meanwhile would hand them to its child too, whose
// pipe would then not end when this child does.
std::mutex startMutex;

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

// One argument as the C runtime's command-line parser reads it back.
void AppendQuoted(std::wstring& line, const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < argument.size() && argument[i] == L'\\') {
      ++i;
      ++backslashes;
    }
    if (i == argument.size()) {
      line.append(backslashes * 2, L'\\');
      break;
    }
    if (argument[i] == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    line += argument[i];
  }
  line += L'"';
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

void RunProcess(const std::vector<std::string>& argv, size_t outputLimit, ProcessOutcome& out) {
  out = ProcessOutcome{};
  if (argv.empty()) {
    out.stage = ProcessStage::kStart;
    out.error = EINVAL;
    return;
  }
  std::string program;
  if (const int resolved = ResolveProgram(argv[0], program); resolved != 0) {
    LogLess("program %s is not in the system's program folders, not run", argv[0].c_str());
    out.stage = ProcessStage::kStart;
    out.error = resolved;
    return;
  }
  LogLess("running %s", program.c_str());

  std::wstring commandLine;
  AppendQuoted(commandLine, win::Widen(program));
  for (size_t i = 1; i < argv.size(); ++i) {
    commandLine += L' ';
    AppendQuoted(commandLine, win::Widen(argv[i]));
  }

  win::Handle readEnd;
  win::Handle process;
  {
    std::lock_guard lock(startMutex);
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readHandle = nullptr;
    HANDLE writeHandle = nullptr;
    if (!::CreatePipe(&readHandle, &writeHandle, &inherit, 0)) {
      out.error = win::LastErrno();
      return;
    }
    readEnd = win::Handle(readHandle);
    win::Handle writeEnd(writeHandle);
    ::SetHandleInformation(readHandle, HANDLE_FLAG_INHERIT, 0);
    win::Handle input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, OPEN_EXISTING, 0, nullptr));

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = input.Valid() ? input.Get() : nullptr;
    startup.hStdOutput = writeHandle;
    startup.hStdError = writeHandle;
    PROCESS_INFORMATION info{};
    const std::wstring application = win::Widen(program);
    // A batch file runs through the command interpreter, which ScriptCommand names.
    if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                          CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
      out.stage = ProcessStage::kStart;
      out.error = win::LastErrno();
      return;
    }
    ::CloseHandle(info.hThread);
    process = win::Handle(info.hProcess);
  }

  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(readEnd.Get(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    const size_t room = outputLimit - out.output.size();
    const size_t keep = got < room ? got : room;
    out.output.append(buffer, keep);
    if (keep < got) out.outputTruncated = true;
  }
  readEnd.Close();

  out.stage = ProcessStage::kEnded;
  if (::WaitForSingleObject(process.Get(), INFINITE) != WAIT_OBJECT_0) {
    out.error = win::LastErrno();
    return;
  }
  DWORD code = 0;
  if (!::GetExitCodeProcess(process.Get(), &code)) {
    out.error = win::LastErrno();
    return;
  }
  out.exitStatus = static_cast<int>(code);
}

std::string ScriptFileName(const std::string& stem) { return stem + ".bat"; }

std::vector<std::string> ScriptCommand(const std::string& path) { return {"cmd.exe", "/c", path}; }

int RunProgram(const std::vector<std::string>& argv, std::string& output) {
  ProcessOutcome outcome;
  RunProcess(argv, std::string::npos, outcome);
  output = std::move(outcome.output);
  if (outcome.stage != ProcessStage::kEnded || outcome.error != 0) return -1;
  return outcome.exitStatus;
}

}  // namespace stow::platform
