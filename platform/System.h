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

// Where the log file and its numbered backups go unless the user names another
// file: on Linux /var/log/stowline, as for any service run by root; on Windows
// the program's own folder.
std::string DefaultLogDirectory();

// The settings file that holds the log level: on Linux /etc/stowline/config.ini;
// on Windows config.ini in the program's own folder.
std::string DefaultSettingsPath();

// Creates the folder `path` with its parents when it is missing, readable by
// its owner and group only (0750): 0, or the system error.
[[nodiscard]] int EnsureLogDirectory(const std::string& path);

}  // namespace stow::platform
