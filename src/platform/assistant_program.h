// Where the assistant's outside program (Claude Code's `claude`) lives on this system, how
// it is installed and how a fresh install becomes visible without a restart. The Windows
// build answers these with its own folders, installer and registry PATH.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace termiva::platform {

// The user's home folder: $HOME, else the password database's entry.
std::filesystem::path home_dir();

// Names the program goes by on the search path, in the order they are tried.
std::vector<std::string> assistant_program_names();

// Places a per-user or package-manager install puts the program when the search path does
// not name it, in the order they are tried: ~/.local/bin, ~/.claude/local, npm's global
// bin folder (the configured prefix, else the folder `node` is in).
std::vector<std::filesystem::path> assistant_program_candidates();

// True when `file` is one of those candidates that can be run: a regular file this user may
// execute (on Windows, where the candidates' extensions make them programs, a regular file).
bool is_program_file(const std::filesystem::path& file);

// The vendor's installer as a command line run without a terminal: npm's global install
// when npm is there (into ~/.local when the global folder is not writable), else the
// vendor's shell installer.
std::vector<std::string> assistant_install_command();

// Folders an install may have put the program in; they are added to this process's
// search path after an install so the next lookup and every child find it.
std::vector<std::filesystem::path> assistant_install_dirs();

// True when this process runs with administrator rights (root). Claude Code refuses to
// skip its permission prompts then, so questions ask it for its default mode instead.
bool runs_as_administrator();

// Appends each existing folder of `dirs` that the search path does not hold yet (compared
// after normalising, so "/a/b/" and "/a/./b" are the same) to this process's PATH.
// Returns the new PATH. On Windows it first adds the vendor's install folder to the
// user's PATH in the registry when the installer did not, and merges the user's PATH
// (";"-separated, compared case-folded) into the process's as well.
std::string add_to_search_path(const std::vector<std::filesystem::path>& dirs);

}  // namespace termiva::platform
