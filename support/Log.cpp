#include "support/Log.h"

#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "support/Enums.h"
#include "support/IniFile.h"

namespace stow {
namespace {

namespace fs = std::filesystem;

// Both kinds share one prefix width: "LESS " carries a trailing blank.
constexpr char kLessPrefixFormat[] = "[%s-%s-%s] [%s-%s-%s] [T:%-5s] [LESS ]: ";
constexpr char kDebugPrefixFormat[] = "[%s-%s-%s] [%s-%s-%s] [T:%-5s] [DEBUG]: ";
constexpr char kLevelRepairedText[] = "2";

constexpr int kYearMax = 9999;
constexpr int kYearWidth = 4;
constexpr int kTwoDigitMax = 99;
constexpr int kTwoDigitWidth = 2;
constexpr int kTmYearBase = 1900;

// Room for a rendered date or time field ("2026") and for a 64-bit decimal thread id.
constexpr size_t kFieldSize = 8;
constexpr size_t kThreadFieldSize = 24;

// Portable defaults, replaced by the platform at start-up. Atomics, because a thread may log
// while the hooks are installed.
uint64_t SequentialThreadId() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
  return id;
}

// std::localtime shares one static result; the log only calls it under its lock.
bool StdLocalTime(LogTime& out) {
  const std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) return false;
  const std::tm* tm = std::localtime(&now);
  if (tm == nullptr) return false;
  out.year = tm->tm_year + kTmYearBase;
  out.month = tm->tm_mon + 1;
  out.day = tm->tm_mday;
  out.hour = tm->tm_hour;
  out.minute = tm->tm_min;
  out.second = tm->tm_sec;
  return true;
}

std::atomic<CLog::ThreadIdFunction> gThreadId{&SequentialThreadId};
std::atomic<CLog::FileSyncFunction> gFileSync{nullptr};
std::atomic<CLog::LocalTimeFunction> gLocalTime{&StdLocalTime};

// A field 0..maxValue zero-padded to `width` digits; anything else renders empty.
void RenderField(char (&out)[kFieldSize], int value, int maxValue, int width) {
  out[0] = '\0';
  if (value < 0 || value > maxValue) return;
  std::snprintf(out, sizeof out, "%0*d", width, value);
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// Renames without replacing an existing target, as the rotation expects: a backup that could
// not be moved out of the way is kept rather than overwritten.
bool MoveNoReplace(const std::string& from, const std::string& to) {
  if (Exists(to)) return false;
  std::error_code ec;
  fs::rename(from, to, ec);
  return !ec;
}

}  // namespace

size_t FormatLogPrefix(char* out, size_t capacity, LogLevel kind, const LogTime& time,
                       uint64_t threadId) {
  if (out == nullptr || capacity == 0) return 0;
  out[0] = '\0';
  if (kind != kLogLess && kind != kLogDebug) return 0;
  char year[kFieldSize], month[kFieldSize], day[kFieldSize];
  char hour[kFieldSize], minute[kFieldSize], second[kFieldSize];
  RenderField(year, time.year, kYearMax, kYearWidth);
  RenderField(month, time.month, kTwoDigitMax, kTwoDigitWidth);
  RenderField(day, time.day, kTwoDigitMax, kTwoDigitWidth);
  RenderField(hour, time.hour, kTwoDigitMax, kTwoDigitWidth);
  RenderField(minute, time.minute, kTwoDigitMax, kTwoDigitWidth);
  RenderField(second, time.second, kTwoDigitMax, kTwoDigitWidth);
  char thread[kThreadFieldSize];
  std::snprintf(thread, sizeof thread, "%llu", static_cast<unsigned long long>(threadId));
  const int n = kind == kLogLess ? std::snprintf(out, capacity, kLessPrefixFormat, year, month, day,
                                                 hour, minute, second, thread)
                                 : std::snprintf(out, capacity, kDebugPrefixFormat, year, month,
                                                 day, hour, minute, second, thread);
  if (n <= 0 || static_cast<size_t>(n) >= capacity) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n);
}

std::string LogBackupName(const std::string& fileName, int n) {
  // Only a "." of the file's own name counts, not one in a folder name.
  const size_t separator = fileName.find_last_of("/\\");
  const size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
  size_t dot = fileName.rfind('.');
  if (dot == std::string::npos || dot < nameStart) dot = fileName.size();
  return fileName.substr(0, dot) + "_" + std::to_string(n) + fileName.substr(dot);
}

namespace {
// Where construction reads the level; a program may point it elsewhere before
// the first line is written.
std::string& SettingsPathAtConstruction() {
  static std::string path = kSettingsFile;
  return path;
}
}  // namespace

void CLog::SetSettingsPathBeforeFirstUse(const std::string& path) {
  SettingsPathAtConstruction() = path;
}

CLog::CLog() { LoadLevel(SettingsPathAtConstruction()); }

CLog& CLog::Instance() {
  // Never destroyed: destructors of other static objects may still log at exit.
  static CLog* const log = new CLog;
  return *log;
}

void CLog::LoadLevel(const std::string& settingsPath) {
  const int value =
      IniReadInt(settingsPath, kLogSettingsSection, kLogSettingsKey, kLogLevelDefaultRead);
  // Taken unsigned, a missing key (3), a negative or a too large value are all above DEBUG.
  if (static_cast<unsigned>(value) > static_cast<unsigned>(ToInt(kLogDebug))) {
    // If the file cannot be written the repaired level is still used.
    IniWriteString(settingsPath, kLogSettingsSection, kLogSettingsKey, kLevelRepairedText);
    level_.store(kLogLevelRepaired, std::memory_order_relaxed);
    return;
  }
  level_.store(static_cast<LogLevel>(value), std::memory_order_relaxed);
}

LogLevel CLog::Level() const { return level_.load(std::memory_order_relaxed); }
void CLog::SetLevel(LogLevel level) { level_.store(level, std::memory_order_relaxed); }

void CLog::SetThreadIdFunction(ThreadIdFunction fn) {
  gThreadId.store(fn != nullptr ? fn : &SequentialThreadId);
}
void CLog::SetFileSyncFunction(FileSyncFunction fn) { gFileSync.store(fn); }
void CLog::SetLocalTimeFunction(LocalTimeFunction fn) {
  gLocalTime.store(fn != nullptr ? fn : &StdLocalTime);
}

int CLog::Configure(const std::string& fileName, int backupCount, uint32_t sizeLimit) {
  std::lock_guard<std::mutex> guard(lock_);
  fileName_ = fileName;
  backupCount_ = backupCount;
  sizeLimit_ = sizeLimit;
  std::memset(line_, 0, sizeof line_);
  lineLength_ = 0;
  return OpenLocked(true);
}

int CLog::Open() {
  std::lock_guard<std::mutex> guard(lock_);
  return OpenLocked(true);
}

void CLog::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  CloseLocked();
}

uint64_t CLog::WritePosition() const {
  std::lock_guard<std::mutex> guard(lock_);
  return writePosition_;
}

void CLog::CloseLocked() {
  if (file_ == nullptr) return;
  std::fclose(file_);
  file_ = nullptr;
}

// `rotateOversized` is false when the rotation itself reopens the file: if the rotation could
// not move an oversized log away, reopening must not start another rotation, or a log that
// cannot be renamed would recurse without end. The next line tries again.
int CLog::OpenLocked(bool rotateOversized) {
  CloseLocked();
  writePosition_ = 0;
  if (fileName_.empty()) return 0;
  file_ = std::fopen(fileName_.c_str(), "r+b");
  if (file_ == nullptr) file_ = std::fopen(fileName_.c_str(), "wb+x");
  if (file_ == nullptr) return 0;
  // Unbuffered: each line goes to the system in one write, and a failed write leaves nothing
  // behind in a stream buffer to come out later in the middle of another line.
  std::setvbuf(file_, nullptr, _IONBF, 0);
  long end = -1;
  if (std::fseek(file_, 0, SEEK_END) == 0) end = std::ftell(file_);
  writePosition_ = end > 0 ? static_cast<uint64_t>(end) : 0;
  if (rotateOversized && FileExceedsLimitLocked()) RotateLocked();
  return file_ != nullptr ? 1 : 0;
}

bool CLog::FileExceedsLimitLocked() {
  if (file_ == nullptr || std::fseek(file_, 0, SEEK_END) != 0) return false;
  const long size = std::ftell(file_);
  return size >= 0 && static_cast<uint64_t>(size) > sizeLimit_;
}

bool CLog::WriteBufferLocked() {
  if (file_ == nullptr || lineLength_ <= 0) return false;
  const size_t length = static_cast<size_t>(lineLength_);
  const size_t written = std::fwrite(line_, 1, length, file_);
  bool ok = written == length && std::fflush(file_) == 0;
  if (ok) {
    const FileSyncFunction sync = gFileSync.load();
    if (sync != nullptr) ok = sync(file_);
  }
  if (ok) {
    writePosition_ += written;
  } else {
    std::clearerr(file_);
  }
  // The line that takes the file past the limit is the last line of the rotated file.
  if (FileExceedsLimitLocked()) RotateLocked();
  return ok;
}

void CLog::RotateLocked() {
  CloseLocked();
  std::error_code ec;
  if (backupCount_ <= 0) {
    fs::remove(fileName_, ec);
    OpenLocked(false);
    return;
  }
  // Walk the backups up to the first missing one (a gap ends the shift) or the oldest kept,
  // which is dropped.
  int last = 1;
  for (int n = 1;; ++n) {
    last = n;
    const std::string name = LogBackupName(fileName_, n);
    if (!Exists(name)) break;
    if (n == backupCount_) {
      fs::remove(name, ec);
      break;
    }
  }
  for (int n = last; n >= 2; --n) {
    const std::string target = LogBackupName(fileName_, n);
    if (n == last) fs::remove(target, ec);
    MoveNoReplace(LogBackupName(fileName_, n - 1), target);
  }
  MoveNoReplace(fileName_, LogBackupName(fileName_, 1));
  OpenLocked(false);
}

void CLog::WriteV(LogLevel kind, const char* format, va_list args) {
  // The level test runs without the lock: a line below the level costs one atomic load.
  const LogLevel level = level_.load(std::memory_order_relaxed);
  const bool wanted = kind == kLogDebug
                          ? level == kLogDebug
                          : kind == kLogLess && (level == kLogLess || level == kLogDebug);
  if (!wanted || format == nullptr) return;

  std::lock_guard<std::mutex> guard(lock_);
  LogTime now;
  if (!gLocalTime.load()(now)) now = LogTime{-1, -1, -1, -1, -1, -1};
  const size_t prefix = FormatLogPrefix(line_, kLogLineTextMax + 1, kind, now, gThreadId.load()());
  // vsnprintf writes at most room bytes of text plus its NUL; a longer message is cut so the
  // line stays within kLogLineTextMax bytes before its line feed.
  const size_t room = kLogLineTextMax - prefix;
  const int n = std::vsnprintf(line_ + prefix, room + 1, format, args);
  size_t message = 0;
  if (n > 0) message = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
  line_[prefix + message] = '\n';
  lineLength_ = static_cast<int>(prefix + message + 1);
  WriteBufferLocked();
}

void LogLess(const char* format, ...) {
  va_list args;
  va_start(args, format);
  CLog::Instance().WriteV(kLogLess, format, args);
  va_end(args);
}

void LogDebug(const char* format, ...) {
  va_list args;
  va_start(args, format);
  CLog::Instance().WriteV(kLogDebug, format, args);
  va_end(args);
}

void LogLessText(const char* text) { LogLess("%s\n", text != nullptr ? text : ""); }
void LogDebugText(const char* text) { LogDebug("%s\n", text != nullptr ? text : ""); }

}  // namespace stow
