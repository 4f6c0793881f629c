// The process-wide diagnostic log.
//
// One CLog exists per process (CLog::Instance()). It reads its level from the
// settings file when first used, appends lines to its file, flushes every line
// and rotates the file into numbered backups once it grows past its size limit.
// Any thread may write; lines never interleave.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#if defined(__GNUC__)
#define STOW_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define STOW_PRINTF(fmt, args)
#endif

namespace stow {

enum LogLevel : int { kLogOff = 0, kLogLess = 1, kLogDebug = 2 };

inline constexpr const char* kSettingsFile = "config.ini";
inline constexpr const char* kLogFileName = "Larkspur.log";
inline constexpr int kLogBackupCount = 5;
inline constexpr uint32_t kLogSizeLimit = 0x500000;
inline constexpr size_t kLogLineTextMax = 520;

class CLog {
 public:
  // The one log of the process; its level is read from the settings file on first use.
  static CLog& Instance();

  // Start-up: name the file, its backup count and size limit, and open it (appending).
  void Configure(const std::string& fileName, int backupCount, uint32_t sizeLimit);
  // (Re)opens the file; 1 on success, 0 when it can be neither opened nor created.
  int Open();

  int Level() const;
  void SetLevel(int level);

  // Writes one line of the given kind when the level allows it (kLogLess or kLogDebug).
  void WriteV(LogLevel kind, const char* format, va_list args);

  // Reads the level from `settingsPath` and repairs the key when it is missing or invalid.
  // Construction does this with kSettingsFile; exposed for tests.
  void LoadLevel(const std::string& settingsPath);

  // Installs the function that gives the calling thread's numeric identifier.
  using ThreadIdFunction = uint64_t (*)();
  static void SetThreadIdFunction(ThreadIdFunction fn);

  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

 private:
  CLog();
  ~CLog();
  struct Impl;
  Impl* impl_;
};

}  // namespace stow

namespace stow {

// The writers every subsystem calls.
void LogLess(const char* format, ...) STOW_PRINTF(1, 2);
void LogDebug(const char* format, ...) STOW_PRINTF(1, 2);
void LogLessText(const char* text);
void LogDebugText(const char* text);

}  // namespace stow
