// The runner on Windows: CreateProcessW without a window, started suspended
// and placed in a job of its own before it runs, so that a kill reaches what
// it starts too. Its output comes through a named pipe read with overlapped
// I/O, so that one wait covers the output, the program's end, the time limit
// and the stop. It inherits only its standard handles.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cwchar>
#include <mutex>
#include <vector>

#include "platform/Process.h"
#include "platform/windows/Win32.h"
#include "support/Log.h"

namespace stow::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The exit code a killed program is given: the one a Linux program killed by
// SIGKILL shows (128 + 9), so that callers see one number on both systems.
constexpr UINT kKilledExitCode = 137;
constexpr DWORD kPipeBuffer = 64 * 1024;

// Inheritable handles exist from their creation until the child has started;
// a second start meanwhile, on a system that ignores the handle list, would
// hand them to its child too, whose pipe would then not end when this one's
// does.
std::mutex startMutex;
std::atomic<unsigned> pipeCounter{0};

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

std::wstring CommandLine(const std::string& program, const std::vector<std::string>& argv) {
  std::wstring line;
  AppendQuoted(line, win::Widen(program));
  for (size_t i = 1; i < argv.size(); ++i) {
    line += L' ';
    AppendQuoted(line, win::Widen(argv[i]));
  }
  return line;
}

// This process's environment block with `extra` ("NAME=value") added or
// replacing (names compared without case, as Windows does); empty when
// nothing is added, for the child to take this process's own.
std::wstring EnvironmentBlock(const std::vector<std::string>& extra) {
  if (extra.empty()) return {};
  std::vector<std::wstring> added;
  for (const std::string& e : extra) added.push_back(win::Widen(e));
  auto nameOf = [](const std::wstring& entry) {
    // A leading '=' belongs to the name (the drives' current folders: "=C:=C:\").
    return entry.substr(0, entry.find(L'=', 1));
  };
  auto sameName = [&](const std::wstring& a, const std::wstring& b) {
    const std::wstring x = nameOf(a);
    const std::wstring y = nameOf(b);
    return ::CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(),
                                  static_cast<int>(y.size()), TRUE) == CSTR_EQUAL;
  };
  std::wstring block;
  wchar_t* strings = ::GetEnvironmentStringsW();
  for (const wchar_t* p = strings; p != nullptr && *p != L'\0'; p += wcslen(p) + 1) {
    const std::wstring entry(p);
    bool replaced = false;
    for (const std::wstring& a : added) replaced = replaced || sameName(entry, a);
    if (!replaced) block += entry + L'\0';
  }
  if (strings != nullptr) ::FreeEnvironmentStringsW(strings);
  for (const std::wstring& a : added) block += a + L'\0';
  block += L'\0';
  return block;
}

// The attribute list that limits what the child inherits to `handles`.
class InheritList {
 public:
  explicit InheritList(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (size == 0 || !::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    initialised_ = true;
    if (::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                    handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      list_ = list;
    }
  }
  ~InheritList() {
    if (initialised_) {
      ::DeleteProcThreadAttributeList(
          reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data()));
    }
  }
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  // Null when the system offers no such list.
  LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<char> storage_;
  bool initialised_ = false;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// The read end of the output pipe with its one overlapped read, which is
// always finished or cancelled before the buffer goes away.
class OutputPipe {
 public:
  OutputPipe(const ProgramRun& run, RunOutcome& out)
      : run_(run), out_(out), splitter_([this](std::string_view line) {
          out_.lines.emplace_back(line);
          if (run_.onLine) run_.onLine(line);
        }) {}
  ~OutputPipe() { Cancel(); }
  OutputPipe(const OutputPipe&) = delete;
  OutputPipe& operator=(const OutputPipe&) = delete;

  // Makes the pipe; `writeEnd` receives the inheritable end for the child.
  int Open(win::Handle& writeEnd) {
    const std::wstring name = L"\\\\.\\pipe\\stowline-run-" +
                              std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(pipeCounter.fetch_add(1));
    read_ = win::Handle(::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, kPipeBuffer, 0, nullptr));
    if (!read_.Valid()) return win::LastErrno();
    event_ = win::Handle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event_.Valid()) return win::LastErrno();
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    writeEnd = win::Handle(
        ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr));
    if (!writeEnd.Valid()) return win::LastErrno();
    return 0;
  }

  // The event to wait on while a read is pending; null when the pipe has ended.
  HANDLE Event() {
    while (open_ && !pending_) Issue();
    return pending_ ? event_.Get() : nullptr;
  }
  // The event fired: takes what the read brought.
  void Complete() {
    if (!pending_) return;
    DWORD got = 0;
    pending_ = false;
    if (::GetOverlappedResult(read_.Get(), &overlapped_, &got, FALSE)) {
      Keep(got);
    } else {
      open_ = false;
    }
  }
  // After the program's end: reads what is already in the pipe and stops
  // there, whoever else still holds its other end. In a pending read's
  // absence of data the pipe is empty, as the system fills a pending read
  // first.
  void DrainAndStop() {
    for (;;) {
      if (Event() == nullptr) break;
      if (::WaitForSingleObject(event_.Get(), 0) != WAIT_OBJECT_0) break;
      Complete();
    }
    Cancel();
    open_ = false;
  }
  void Finish() { splitter_.Finish(); }

 private:
  void Issue() {
    ::ResetEvent(event_.Get());
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_.Get();
    DWORD got = 0;
    if (::ReadFile(read_.Get(), buffer_, sizeof buffer_, &got, &overlapped_)) {
      Keep(got);
      return;
    }
    if (::GetLastError() == ERROR_IO_PENDING) {
      pending_ = true;
    } else {
      open_ = false;  // ERROR_BROKEN_PIPE: every writer has closed it
    }
  }
  void Keep(DWORD got) {
    const size_t room = run_.outputLimit - out_.output.size();
    const size_t keep = std::min<size_t>(got, room);
    out_.output.append(buffer_, keep);
    splitter_.Feed(std::string_view(buffer_, keep));
    if (keep < got) out_.outputTruncated = true;
  }
  void Cancel() {
    if (!pending_) return;
    ::CancelIoEx(read_.Get(), &overlapped_);
    DWORD got = 0;
    // Waits until the read has let go of the buffer; it may have brought data meanwhile.
    if (::GetOverlappedResult(read_.Get(), &overlapped_, &got, TRUE)) Keep(got);
    pending_ = false;
  }

  const ProgramRun& run_;
  RunOutcome& out_;
  LineSplitter splitter_;
  win::Handle read_;
  win::Handle event_;
  OVERLAPPED overlapped_{};
  char buffer_[4096]{};
  bool open_ = true;
  bool pending_ = false;
};

struct Child {
  win::Handle process;
  win::Handle job;
  bool inJob = false;
};

int Start(const std::string& program, const ProgramRun& run, const win::Handle& writeEnd,
          Child& child) {
  std::wstring commandLine = CommandLine(program, run.argv);
  std::wstring environment = EnvironmentBlock(run.environment);
  std::lock_guard lock(startMutex);
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const win::Handle input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        &inherit, OPEN_EXISTING, 0, nullptr));
  if (!input.Valid()) return win::LastErrno();
  const InheritList inheritList({input.Get(), writeEnd.Get()});

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = inheritList.Get() ? sizeof startup : sizeof startup.StartupInfo;
  startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  startup.StartupInfo.hStdInput = input.Get();
  startup.StartupInfo.hStdOutput = writeEnd.Get();
  startup.StartupInfo.hStdError = writeEnd.Get();
  startup.lpAttributeList = inheritList.Get();
  DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
  if (inheritList.Get()) flags |= EXTENDED_STARTUPINFO_PRESENT;
  PROCESS_INFORMATION info{};
  const std::wstring application = win::Widen(program);
  // A batch file runs through the command interpreter, which ScriptCommand names.
  if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                        environment.empty() ? nullptr : environment.data(), nullptr,
                        &startup.StartupInfo, &info)) {
    return win::LastErrno();
  }
  const win::Handle thread(info.hThread);
  child.process = win::Handle(info.hProcess);
  child.job = win::Handle(::CreateJobObjectW(nullptr, nullptr));
  child.inJob = child.job.Valid() && ::AssignProcessToJobObject(child.job.Get(), info.hProcess);
  if (!child.inJob) LogDebug("%s runs outside a job: a kill reaches it alone", program.c_str());
  ::ResumeThread(thread.Get());
  return 0;
}

void Kill(const Child& child) {
  if (child.inJob) {
    ::TerminateJobObject(child.job.Get(), kKilledExitCode);
  } else {
    ::TerminateProcess(child.process.Get(), kKilledExitCode);
  }
}

}  // namespace

RunOutcome RunProgram(const ProgramRun& run) {
  RunOutcome out;
  if (run.argv.empty() || ResolveProgram(run.argv[0], out.program) != 0) {
    LogLess("program %s is not in the system's program folders, not run",
            run.argv.empty() ? "(none)" : run.argv[0].c_str());
    out.end = kNotAllowed;
    out.error = ENOENT;
    return out;
  }
  LogLess("running %s", out.program.c_str());

  OutputPipe pipe(run, out);
  Child child;
  {
    win::Handle writeEnd;
    if (const int error = pipe.Open(writeEnd); error != 0) {
      out.end = kNoPipe;
      out.error = error;
      out.program.clear();
      return out;
    }
    if (const int error = Start(out.program, run, writeEnd, child); error != 0) {
      out.end = kStartFailed;
      out.error = error;
      out.program.clear();
      return out;
    }
  }  // the write end closes here: the pipe ends once the child's copies do

  out.end = kExited;
  const bool limited = run.timeLimit.count() > 0;
  const Clock::time_point deadline = Clock::now() + run.timeLimit;
  for (;;) {
    HANDLE handles[2] = {child.process.Get(), pipe.Event()};
    const DWORD count = handles[1] != nullptr ? 2 : 1;
    DWORD timeout = INFINITE;
    const Clock::time_point now = Clock::now();
    if (run.stop || limited) {
      milliseconds wait = kStopPollInterval;
      if (limited) wait = std::min(wait, std::chrono::ceil<milliseconds>(deadline - now));
      timeout = static_cast<DWORD>(std::max<milliseconds::rep>(wait.count(), 0));
    }
    const DWORD woke = ::WaitForMultipleObjects(count, handles, FALSE, timeout);
    if (woke == WAIT_OBJECT_0) break;
    if (woke == WAIT_OBJECT_0 + 1) {
      pipe.Complete();
      continue;
    }
    if (woke == WAIT_FAILED) {
      // Only a broken handle fails a wait: end the program rather than spin.
      out.error = win::LastErrno();
    } else if (run.stop && run.stop()) {
      out.end = kStopped;
    } else if (limited && Clock::now() >= deadline) {
      out.end = kTimedOut;
    } else {
      continue;
    }
    Kill(child);
    ::WaitForSingleObject(child.process.Get(), INFINITE);
    break;
  }
  pipe.DrainAndStop();
  pipe.Finish();
  DWORD code = 0;
  if (::GetExitCodeProcess(child.process.Get(), &code)) {
    out.exitStatus = static_cast<int>(code);
  } else {
    out.error = win::LastErrno();
  }
  if (out.end != kExited) {
    LogLess("%s %s, exit status %d", out.program.c_str(), RunEndLabel(out.end), out.exitStatus);
  }
  return out;
}

}  // namespace stow::platform
