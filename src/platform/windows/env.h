// The process environment in UTF-16, as Windows keeps it: getenv would hand back the ANSI
// code page's version of a value, losing every character outside it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace termiva::platform::windows {

// The variable's value; empty when it is unset.
std::wstring env_text(const wchar_t* name);
// The value as a folder; empty when it is unset or empty.
std::filesystem::path env_path(const wchar_t* name);
// Sets (or with an empty value removes) the variable for this process and its children.
bool set_env(const wchar_t* name, const std::wstring& value);
// The non-empty pieces of a ";"-separated list, surrounding quotes removed ("C:\a b").
std::vector<std::wstring> split_list(const std::wstring& list);

}  // namespace termiva::platform::windows
