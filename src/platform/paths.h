// Where the program and its data live.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace termiva::platform {

// The folder of the running executable (never the working directory).
std::filesystem::path module_dir();
// The running executable's file name.
std::string module_file_name();
// The per-user data folder: $XDG_DATA_HOME/Lanternfold/Termiva, by default
// ~/.local/share/Lanternfold/Termiva.
std::filesystem::path default_data_dir();
// First regular executable file called `name` on the search path.
std::optional<std::filesystem::path> find_on_search_path(const std::string& name);

}  // namespace termiva::platform
