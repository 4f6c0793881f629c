// Placeholder until the full log lands: writes nothing.
#include "support/Log.h"

namespace stow {

struct CLog::Impl {
  int level = kLogDebug;
};

CLog::CLog() : impl_(new Impl) {}
CLog::~CLog() { delete impl_; }
CLog& CLog::Instance() {
  static CLog* log = new CLog;
  return *log;
}
void CLog::Configure(const std::string&, int, uint32_t) {}
int CLog::Open() { return 0; }
int CLog::Level() const { return impl_->level; }
void CLog::SetLevel(int level) { impl_->level = level; }
void CLog::WriteV(LogLevel, const char*, va_list) {}
void CLog::LoadLevel(const std::string&) {}
void CLog::SetThreadIdFunction(ThreadIdFunction) {}

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
void LogLessText(const char* text) { LogLess("%s\n", text); }
void LogDebugText(const char* text) { LogDebug("%s\n", text); }

}  // namespace stow
