// Where the program keeps its files.
#pragma once

#include <string>

namespace platform {

// $XDG_CONFIG_HOME/Quarvel (else ~/.config/Quarvel), created on demand.
std::string config_dir();
// $XDG_STATE_HOME/Quarvel (else ~/.local/state/Quarvel), created on demand.
std::string state_dir();
// $XDG_DATA_HOME/Quarvel (else ~/.local/share/Quarvel), created on demand.
std::string data_dir();
// $XDG_RUNTIME_DIR, else this user's own folder in the temporary folder
// (quarvel-UID, mode 0700), else the state folder.
std::string runtime_dir();

// Program data shipped with the program ("language.ini", "Quarvel.conf"):
// next to the executable, then its ../share/quarvel. Returns the first that
// exists, or the name next to the executable when none does.
std::string program_data_file(const std::string& name);

// Override for tests: program data is looked up in this folder first.
void set_program_data_dir(const std::string& dir);

// Absolute path of the running executable's folder.
std::string executable_dir();

// A private folder (mode 0700) for this run's preview copies, made once in
// the runtime folder.
// Returns an empty string when it cannot be made.
std::string private_temp_dir();

}  // namespace platform
