// The window program's start-up, in order: the log, the application with its
// resources and style, English, the single-instance lock, the main window
// behind the start screen, the event loop; torn down in reverse.
#pragma once

namespace stow::ui::qt {

// Runs the program; returns its exit status (0 also when another instance runs).
int RunWindowProgram(int argc, char** argv);

}  // namespace stow::ui::qt
