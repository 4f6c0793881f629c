#include <io.h>

#include <atomic>
#include <cstdio>

#include "platform/Console.h"
#include "platform/windows/Win32.h"

namespace stow::platform {
namespace {

std::atomic<bool> interrupted{false};

BOOL WINAPI OnControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      interrupted.store(true);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

bool StandardInputIsTerminal() { return ::_isatty(::_fileno(stdin)) != 0; }
bool StandardOutputIsTerminal() { return ::_isatty(::_fileno(stdout)) != 0; }

void CatchInterrupts() { ::SetConsoleCtrlHandler(&OnControl, TRUE); }

bool InterruptRequested() { return interrupted.load(); }

}  // namespace stow::platform
