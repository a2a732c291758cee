// The search path on Windows: ";"-separated, compared the way Windows compares folders
// (case folded, "." and ".." resolved, no trailing separator), and the user's own PATH in
// the registry, which a fresh install may have to be added to.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace termiva::platform::windows {

// `current` with each piece of `additions` appended that it does not hold yet, empty
// pieces dropped; the result joined with ";".
std::wstring merge_search_paths(const std::wstring& current,
                                const std::vector<std::wstring>& additions);

// True when the two folders are the same once normalised.
bool same_folder(const std::wstring& a, const std::wstring& b);

// Reads the "Path" value of HKEY_CURRENT_USER\`key` (a missing key or value throws
// std::system_error); when `dir` is an existing folder it does not hold, writes it back
// with `dir` appended as REG_EXPAND_SZ and tells the other programs
// (WM_SETTINGCHANGE "Environment"). Returns the user path, as stored.
std::wstring add_to_user_path(const std::wstring& key, const std::filesystem::path& dir);

}  // namespace termiva::platform::windows
