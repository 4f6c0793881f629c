// The process-wide diagnostic log.
//
// One CLog exists per process (CLog::Instance()). It reads its level from the
// settings file when first used, appends lines to its file, flushes every line
// and rotates the file into numbered backups once it grows past its size limit.
// Any thread may write; lines never interleave.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

// GCC checks against its own printf (gnu_printf), which is what the C library
// of every target here implements, %zu and %llu included; "printf" would mean
// the older runtime's dialect on some targets. clang knows only "printf".
#if defined(__GNUC__) && !defined(__clang__)
#define STOW_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define STOW_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define STOW_PRINTF(fmt, args)
#endif

namespace stow {

// The settings file stores the number.
enum class LogLevel : int { kLogOff = 0, kLogLess = 1, kLogDebug = 2 };
using enum LogLevel;

inline constexpr const char* kSettingsFile = "config.ini";
inline constexpr const char* kLogFileName = "Larkspur.log";
inline constexpr int kLogBackupCount = 5;
inline constexpr uint32_t kLogSizeLimit = 0x500000;
inline constexpr size_t kLogLineTextMax = 520;
// Text, the line feed and the terminating NUL that vsnprintf always writes.
inline constexpr size_t kLogLineBufferSize = kLogLineTextMax + 2;

// Where the level lives in the settings file, and what a missing or invalid level becomes.
inline constexpr const char* kLogSettingsSection = "LOG";
inline constexpr const char* kLogSettingsKey = "LEVEL";
inline constexpr int kLogLevelDefaultRead = 3;  // out of range on purpose: "missing" repairs it
inline constexpr LogLevel kLogLevelRepaired = kLogDebug;

// The calendar fields of a line's local time as the prefix shows them: the full year
// (2026), the month 1..12, the day, hour, minute and second.
struct LogTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Writes the prefix of a line of `kind` (kLogLess or kLogDebug) for `time` and `threadId` into
// `out`, NUL-terminated, using at most `capacity` bytes. Returns the prefix length, or 0 when it
// does not fit or `kind` has no prefix. A field out of its range is written empty.
size_t FormatLogPrefix(char* out, size_t capacity, LogLevel kind, const LogTime& time,
                       uint64_t threadId);

// The name of backup `n` of a log file: "_n" inserted before the last "." of the file name
// ("Larkspur.log" -> "Larkspur_3.log"), or appended when the file name has no ".".
std::string LogBackupName(const std::string& fileName, int n);

class CLog {
 public:
  // The one log of the process; its level is read from the settings file on first use.
  static CLog& Instance();

  // Start-up: name the file, its backup count and size limit, and open it (appending).
  // Returns what Open returns.
  int Configure(const std::string& fileName, int backupCount, uint32_t sizeLimit);
  // (Re)opens the file; 1 on success, 0 when it can be neither opened nor created.
  int Open();
  // Closes the file; later lines are dropped until the next Open or Configure.
  void Close();

  LogLevel Level() const;
  void SetLevel(LogLevel level);

  // Writes one line of the given kind when the level allows it (kLogLess or kLogDebug).
  void WriteV(LogLevel kind, const char* format, va_list args);

  // Reads the level from `settingsPath` and repairs the key when it is missing or invalid.
  // Construction does this with kSettingsFile; exposed for tests.
  void LoadLevel(const std::string& settingsPath);

  // End-of-file offset at open time plus every byte written since.
  uint64_t WritePosition() const;

  // Hooks the platform layer installs at start-up; until then portable defaults apply.
  // The calling thread's numeric identifier (default: a small per-thread sequence number).
  using ThreadIdFunction = uint64_t (*)();
  static void SetThreadIdFunction(ThreadIdFunction fn);

  // The settings file that construction reads (kSettingsFile unless set). Only
  // has an effect before the first use of Instance().
  static void SetSettingsPathBeforeFirstUse(const std::string& path);
  // Forces a flushed file's data to the disk (default: none; the line still reaches the OS).
  using FileSyncFunction = bool (*)(std::FILE* file);
  static void SetFileSyncFunction(FileSyncFunction fn);
  // Fills the current local time; false when it cannot be had (default: std::localtime,
  // called only under the log's lock).
  using LocalTimeFunction = bool (*)(LogTime& out);
  static void SetLocalTimeFunction(LocalTimeFunction fn);

  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

 private:
  CLog();
  ~CLog() = default;

  int OpenLocked(bool rotateOversized);
  void CloseLocked();
  bool WriteBufferLocked();
  void RotateLocked();
  bool FileExceedsLimitLocked();

  char line_[kLogLineBufferSize] = {};
  int lineLength_ = 0;
  std::string fileName_;
  mutable std::mutex lock_;
  std::FILE* file_ = nullptr;
  uint64_t writePosition_ = 0;
  int backupCount_ = 0;
  uint32_t sizeLimit_ = 0;
  std::atomic<LogLevel> level_{kLogLevelRepaired};
};

}  // namespace stow

namespace stow {

// The writers every subsystem calls.
void LogLess(const char* format, ...) STOW_PRINTF(1, 2);
void LogDebug(const char* format, ...) STOW_PRINTF(1, 2);
void LogLessText(const char* text);
void LogDebugText(const char* text);

}  // namespace stow
