// Turning a file name chosen by the remote sender into one that is safe to create in the
// receive folder: a plain base name, never a path, a parent reference or a device.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace termiva::xfer {

// The last path component of `sent` (either slash), with control characters and
// characters no desktop file system accepts replaced, trailing dots and spaces removed,
// device names (CON, NUL, COM1 ...) defused and the length bounded. Never empty, never
// "." or "..".
std::string safe_base_name(std::string_view sent);

// True for names Windows reserves for devices, whatever their extension.
bool is_device_name(std::string_view name);

// `name` inside `dir` when free, otherwise "stem (n).ext" with the first free n.
std::filesystem::path numbered_free_path(const std::filesystem::path& dir, const std::string& name,
                                         int first_number = 1);

}  // namespace termiva::xfer
