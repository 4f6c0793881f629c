#include "platform/System.h"

#include <sys/syscall.h>
#include <unistd.h>

#include "support/Log.h"

namespace stow::platform {

uint64_t CurrentThreadId() { return static_cast<uint64_t>(::syscall(SYS_gettid)); }

void Initialise() { CLog::SetThreadIdFunction(&CurrentThreadId); }

bool HasAdministratorRights() { return ::geteuid() == 0; }

}  // namespace stow::platform
