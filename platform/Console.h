// The terminal a command-line program runs in, and its interrupt keys.
#pragma once

namespace stow::platform {

bool StandardInputIsTerminal();
bool StandardOutputIsTerminal();

// From now on an interrupt (Ctrl-C) or a request to terminate no longer ends the
// process: it raises a flag that InterruptRequested() reports, so that the
// program can stop its work in order.
void CatchInterrupts();
bool InterruptRequested();

}  // namespace stow::platform
