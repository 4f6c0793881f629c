// Work that must not be able to take the program down: a library that stops
// the process (an assertion, a fault) on hostile input runs its work in a
// child process, and the caller learns only the result or that it failed.
#pragma once

#include <functional>

namespace stow::platform {

// The child did not end normally (a signal, an abort).
inline constexpr int kIsolatedCrashed = -1;
// No child could be started.
inline constexpr int kIsolatedNotStarted = -2;
// The largest result a child can hand back.
inline constexpr int kIsolatedMaxResult = 125;

// Runs `work` in a child process and returns its result (0 to
// kIsolatedMaxResult; larger ones come back as kIsolatedMaxResult), or one of
// the codes above. The child shares the parent's memory as it was at the start
// and its open files; its changes to memory stay its own, its changes to files
// do not. `work` must not take locks other threads may hold (no logging).
[[nodiscard]] int RunIsolated(const std::function<int()>& work);

}  // namespace stow::platform
