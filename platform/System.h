// Facts about the running process.
#pragma once

#include <cstdint>
#include <string>

namespace stow::platform {

// Connects the platform to the layers below it (the log's thread identifiers).
// Called once at start-up by each program.
void Initialise();

// The calling thread's numeric identifier, as the system shows it.
uint64_t CurrentThreadId();

// The folder that holds the running program, without a trailing separator.
std::string ProgramDirectory();

// True when the process has the rights to open raw devices (root here).
bool HasAdministratorRights();

}  // namespace stow::platform
