// Where the program and its data live.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace termiva::platform {

// The folder of the running executable (never the working directory).
std::filesystem::path module_dir();
// The running executable's file name.
std::string module_file_name();
// The per-user data folder: $XDG_DATA_HOME/Lanternfold/Termiva, by default
// ~/.local/share/Lanternfold/Termiva.
std::filesystem::path default_data_dir();
// The user's Downloads folder, where received files go unless the settings name another:
// XDG's DOWNLOAD user folder on Linux (as `xdg-user-dir DOWNLOAD` reads it from
// user-dirs.dirs), the Downloads known folder on Windows; "Downloads" in the home folder
// when the system names none. It may not exist yet.
std::filesystem::path user_downloads_dir();
// First regular executable file called `name` on the search path.
std::optional<std::filesystem::path> find_on_search_path(const std::string& name);
// The file names a program the program folder bundles, known by its Windows name
// ("puttygen.exe"), has on this system, in the order to look for them.
std::vector<std::string> bundled_program_names(const std::string& windows_name);
// A path the user typed (UTF-8), with a leading "~/" taken as the home folder, as a shell
// would read it.
std::filesystem::path path_typed_by_user(const std::string& text);

}  // namespace termiva::platform
